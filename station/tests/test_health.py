# The control charts on a small synthetic line, through the store, the command line
# and the dashboard: a healthy line raises nothing; a fixture whose RS232-1 starts
# failing a fifth of its boards is raised from that day on, at that place alone.
import json
import os
import sys

import pytest

STATION_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, STATION_DIR)
from rigresults_lib import cli, health, health_line, importer, replay, store, web  # noqa: E402

DAYS = 40
ONSET = 30
SHARE = 0.20
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def stored_line(tmp_path, name, onset=None, share=0.0):
    url = f"sqlite:///{tmp_path}/{name}.db"
    engine = store.open_db(url)
    store.store_runs(engine, health_line.line_runs(health_line.SEED, DAYS, onset, share))
    return url, engine


def health_rows(capsys, url, *extra):
    capsys.readouterr()
    assert cli.main(["--db", url, "health", "--format", "json", *extra]) == 0
    return json.loads(capsys.readouterr().out)


@pytest.fixture(scope="module")
def lines(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("health")
    return stored_line(tmp, "healthy"), stored_line(tmp, "degrading", ONSET, SHARE)


def test_healthy_line_is_quiet_and_a_bad_cable_is_raised_from_its_onset(lines, capsys, monkeypatch):
    (healthy, _), (degrading, engine) = lines
    with engine.connect() as conn:  # read from the last days, or all where a rule reaches further
        every_day = health.alarms_of(health.charts(conn))
        for days in (2, 8, 12, 20):
            monkeypatch.setattr(health, "ALARM_DAYS", days)
            assert health.alarms(conn) == every_day and every_day, days
    monkeypatch.undo()
    assert health_rows(capsys, healthy) == []
    rows = health_rows(capsys, degrading)
    bad_place = "/".join(health_line.BAD_PLACE)
    assert {r["place"] for r in rows} == {bad_place}
    failed = [r for r in rows if r["port"] == health_line.BAD_PORT and r["chart"] == "failed"]
    assert len(failed) == 1
    onset_day = str(health_line.FIRST_DAY.fromordinal(health_line.FIRST_DAY.toordinal() + ONSET))
    assert failed[0]["since"] >= onset_day and "beyond" in failed[0]["rule"]
    assert failed[0]["rate"] > failed[0]["line_rate"]
    assert health_rows(capsys, degrading, "--place", "ST-1/fixture-1") == []
    assert health_rows(capsys, degrading, "--port", health_line.BAD_PORT) == \
        [r for r in rows if r["port"] == health_line.BAD_PORT]


def test_dashboard_draws_the_chart_lists_the_alarm_and_offers_the_board_file(lines, tmp_path):
    _, (degrading, engine) = lines
    importer.import_paths(engine, [os.path.join(DATA, d) for d in ("serial-faults", "hostile")], "ST-9",
                          progress=False)
    client = web.create_app(degrading).test_client()
    bad_place = "/".join(health_line.BAD_PLACE)
    assert bad_place.encode() in client.get("/").data
    page = client.get("/health", query_string={"place": bad_place, "port": health_line.BAD_PORT}).data
    assert page.count(b"<svg") == 2 and b"beyond" in page
    with engine.connect() as conn:
        run_id = replay.find_run_id(conn, "0x2A1B3C4D")
    got = client.get("/run/board", query_string={"id": str(run_id)})
    assert got.status_code == 200 and "attachment" in got.headers["Content-Disposition"]
    with open(os.path.join(DATA, "serial-faults", "rigChkEx-kept.log"), "rb") as f:
        board, _ = replay.board_of_log(f.read())
    assert {k: v for k, v in got.get_json().items() if not k.startswith("_")} == \
        {k: v for k, v in board.items() if not k.startswith("_")}
    assert client.get("/run/board", query_string={"id": "999999"}).status_code == 404
    with engine.connect() as conn:
        hostile = replay.find_run_id(conn, "0x0BAD5EED")
    refused = client.get("/run/board", query_string={"id": str(hostile)})
    assert refused.status_code == 404 and b"is no /dev entry" in refused.data
