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
import re
import signal
import subprocess
import sys
import time

import pytest

STATION_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(STATION_DIR)
sys.path.insert(0, STATION_DIR)
from rigpanel import app as panel_app, config, guard  # noqa: E402
from rigresults_lib import store, sync, views, web  # noqa: E402

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
        client = panel_app.make_app(settings, places, guard.host_names("127.0.0.1")).test_client()
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


@pytest.fixture
def simulated_panel(tmp_path):
    """station/panel-simulated.sh on a free port and a fresh store; yields (base URL, store URL)."""
    build = os.environ.get("RIGPANEL_BUILD")
    if not build:
        pytest.skip("needs the host build: RIGPANEL_BUILD=build/host (scripts/test.sh station)")
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    db = f"sqlite:///{tmp_path}/results.db"
    log = open(tmp_path / "panel.txt", "w")
    server = subprocess.Popen([os.path.join(STATION_DIR, "panel-simulated.sh"), "--port", str(port), "--db", db,
                               "--build", os.path.abspath(os.path.join(REPO, build)), "--out", str(tmp_path / "out")],
                              stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        def up():
            assert server.poll() is None, (tmp_path / "panel.txt").read_text()
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return True
            except OSError:
                return False
        wait_for("the panel to serve", up)
        yield f"http://127.0.0.1:{port}", db
    finally:
        server.send_signal(signal.SIGTERM)   # the script ends its boards
        server.wait()
        try:
            os.killpg(server.pid, signal.SIGKILL)   # whatever of its session is left
        except ProcessLookupError:
            pass
        log.close()


def test_operator_shift_in_browser(simulated_panel, tmp_path):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    base, db = simulated_panel
    shots = os.environ.get("RIGRESULTS_SHOTS") or str(tmp_path)
    os.makedirs(shots, exist_ok=True)
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--window-size=1024,768",
                 f"--user-data-dir={tmp_path / 'profile'}"):
        options.add_argument(flag)
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        def cards():
            return {c.get_attribute("data-place"): c for c in browser.find_elements(By.CSS_SELECTOR, "section.place")}

        def state(name):
            return cards()[name].get_attribute("data-state")

        browser.get(base + "/")
        names = list(cards())
        assert names[:3] == ["fixture-a", "fixture-b", "fixture-c"]
        # The name once, then each label and Enter: the focus moves on to the next free place.
        browser.switch_to.active_element.send_keys("Ann Operator", Keys.ENTER)
        serials = {"fixture-a": "SN-A-0001", "fixture-b": "SN-B-0002", "fixture-c": "SN-C-0003"}
        for name in names[:3]:
            browser.switch_to.active_element.send_keys(serials[name], Keys.ENTER)
            wait_for(f"{name} to start", lambda: state(name) == "testing")
        browser.save_screenshot(os.path.join(shots, "panel-1-testing.png"))

        # Each place's progress advances while its board runs, with its step in words.
        seen = {n: [] for n in names[:3]}
        steps = set()

        def all_ended():
            for n in seen:
                c = cards()[n]
                if c.get_attribute("data-state") == "testing":
                    seen[n].append(float(c.find_element(By.CSS_SELECTOR, "progress").get_attribute("value")))
                    steps.add(c.find_element(By.CSS_SELECTOR, "[data-f=step]").text)
            return all(state(n) != "testing" for n in seen)
        wait_for("the three runs to end", all_ended, guard_s=600)
        browser.save_screenshot(os.path.join(shots, "panel-2-verdicts.png"))
        for n, values in seen.items():
            rising = [b for a, b in zip(values, values[1:]) if b > a]
            why = cards()[n].find_element(By.CSS_SELECTOR, "[data-f=reason]").text
            assert rising and values == sorted(values), f"{n}: progress {values}, then {state(n)}: {why}"
        tried = {s for s in steps if re.fullmatch(r"(RS485|RS232|DIO NO|DIO NC) try [123] of 3", s)}
        assert len(tried) >= 2, steps
        assert [state(n) for n in names[:3]] == ["PASS", "PASS", "FAIL"]
        c = cards()["fixture-c"]
        assert c.find_element(By.CSS_SELECTOR, "[data-f=failed_ports]").text == "RS485-2 0/3"
        assert "retest" in c.find_element(By.CSS_SELECTOR, "[data-f=next]").text
        assert cards()["fixture-a"].find_element(By.CSS_SELECTOR, "[data-f=chip]").text == "0x2A1B3C4D"

        # One key retests the failed board; its second failure sends it to repair.
        c.find_element(By.CSS_SELECTOR, "input.serial").click()
        browser.switch_to.active_element.send_keys(Keys.ENTER)
        wait_for("the retest to start", lambda: state("fixture-c") == "testing")
        def later_test():
            step = cards()["fixture-c"].find_element(By.CSS_SELECTOR, "[data-f=step]").text
            return re.search(r"(RS232|DIO NO|DIO NC) try", step) or state("fixture-c") != "testing"
        wait_for("the retest's second test", later_test, guard_s=600)
        browser.save_screenshot(os.path.join(shots, "panel-3-retesting.png"))
        wait_for("the retest to end", lambda: state("fixture-c") != "testing", guard_s=600)
        browser.save_screenshot(os.path.join(shots, "panel-4-to-repair.png"))
        c = cards()["fixture-c"]
        assert state("fixture-c") == "FAIL" and "to repair" in c.find_element(By.CSS_SELECTOR, "[data-f=next]").text
        loaded = browser.execute_script("return performance.getEntriesByType('resource').map(e => e.name)")
        assert all(u.startswith(base + "/") for u in loaded), loaded
    finally:
        browser.quit()

    # Both runs of the board, found by its label, with the operator; the second a retest of the first.
    # The panel's log says how each run ended and where it was stored.
    def outcomes_of_c():
        lines = (tmp_path / "panel.txt").read_text().splitlines()
        return [line for line in lines if line.startswith("rigpanel: fixture-c:")]
    outcomes = wait_for("the panel's log of both runs", lambda: len(outcomes_of_c()) >= 2 and outcomes_of_c())
    assert [re.sub(r"run \d+$", "run N", line) for line in outcomes] == \
        ["rigpanel: fixture-c: SN-C-0003: FAIL; stored as run N",
         "rigpanel: fixture-c: SN-C-0003: FAIL; retest; stored as run N"], outcomes
    engine = store.open_db(db)
    with engine.connect() as conn:
        runs = views.unit_runs(conn, "SN-C-0003")
        logs = [store.log_text(conn, r["run_id"]) for r in runs]
    assert [(r["chip"], r["result"], r["operator"], r["serial"], r["place"]) for r in runs] == \
        [("0x2A1B3C4F", "fail", "Ann Operator", "SN-C-0003", "fixture-c")] * 2, outcomes
    assert [f"run {r['run_id']}" for r in runs] == [line.rsplit("; stored as ", 1)[1] for line in outcomes]
    assert runs[0]["retest_of"] is None and runs[1]["retest_of"] == runs[0]["run_id"]
    assert runs[1]["failed_ports"] == ["RS485-2 0/3"] and runs[1]["program_version"]
    # The store holds each run's kept log, the dashboard shows it with who ran it, and a sync
    # takes who ran it and the retest along.
    assert all(log is not None and "iMx6ull:0x2A1B3C4F" in log and "iTestSta:-1" in log for log in logs)
    page = web.create_app(db).test_client().get(f"/run?id={runs[1]['run_id']}").get_data(as_text=True)
    assert "Ann Operator" in page and f"run {runs[0]['run_id']}</a>" in page, page
    assert "RS485-2:Test Succ Cnt 0,Error Cnt 3" in page, page
    central = store.open_db(f"sqlite:///{tmp_path}/central.db")
    sync.forward(engine, central)
    sync.forward(engine, central)  # once more: nothing twice
    with central.connect() as conn:
        copied = views.unit_runs(conn, "SN-C-0003")
    engine.dispose()
    central.dispose()
    assert [(r["operator"], r["place"]) for r in copied] == [("Ann Operator", "fixture-c")] * 2
    assert copied[0]["retest_of"] is None and copied[1]["retest_of"] == copied[0]["run_id"]
