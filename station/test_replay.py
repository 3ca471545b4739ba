# Replay by round trip on the simulated fixture: a board with faults or a probed device is
# run, its run imported, replayed as a board file, and that board run with the same
# arguments; the two kept logs must give the same tallies port for port, and the same
# outcome try for try (the replay of the replayed run is the replay itself). Needs a host build:
#   /usr/bin/python3 -m pytest -p no:cacheprovider -q station/test_replay.py [--rig-build build/host]
# (scripts/test.sh station runs it after the station's own check).
import concurrent.futures
import glob
import json
import os
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

STATION_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(STATION_DIR)
sys.path.insert(0, STATION_DIR)
from rigresults_lib import importer, parse, replay, store  # noqa: E402

BUILD = os.environ.get("RIG_BUILD", os.path.join(ROOT, "build", "host"))
RIGFIXTURE = os.path.join(BUILD, "fixture", "bin", "rigfixture")
PARALLEL = 2            # fixture runs at once
TRIES = 3
RS485 = 3               # a bus of three: each port receives two frames a try
RS232 = 3               # a pair and the sensor
FRAMES = {"RS485": TRIES * (RS485 - 1), "RS232": TRIES}

pytestmark = pytest.mark.skipif(not os.access(RIGFIXTURE, os.X_OK), reason=f"no host build: {RIGFIXTURE}")


def has_faults(board):
    """Returns whether a shipped board injects any fault."""
    text = json.dumps({k: v for k, v in board.items() if k != "description"})
    return any(word in text for word in ('"faults"', '"never"', '"together"', '"swapped"', '"missing"'))


def has_probed_device(board):
    """Returns whether a shipped board has a screen or modem, whose answers its log keeps."""
    return any(isinstance(port, dict) and "device" in port for port in board.get("rs232", []))


def run_board(board, folder):
    """Runs board (a dict) on the fixture in folder; returns the kept log's path."""
    os.makedirs(folder)
    path = os.path.join(folder, "board.json")
    with open(path, "w") as f:
        json.dump(board, f)
    out = os.path.join(folder, "run")
    done = subprocess.run([RIGFIXTURE, "--board", path, "--out", out, "--quiet"], capture_output=True, text=True)
    logs = glob.glob(os.path.join(out, "NandFlash", "tmp", "rigChkEx_*.log"))
    assert len(logs) == 1, f"{path}: exit {done.returncode}, {done.stderr[-2000:]}"
    return logs[0]


def tallies(log):
    with open(log, "rb") as f:
        run = parse.parse_kept_log(f.read())
    return [(p["port"], p["test"], p["successes"], p["errors"]) for p in run["ports"]]


def round_trip(board, folder):
    """Runs board, replays its stored run and runs the replay; returns (first log, second
    log, replay board, replay of the replayed run)."""
    first = run_board(board, os.path.join(folder, "original"))
    engine = store.open_db(f"sqlite:///{folder}/results.db")
    new, _, refused = importer.import_paths(engine, [os.path.dirname(first)], "roundtrip", progress=False)
    assert new == 1 and not refused, refused
    with engine.connect() as conn:
        again, _ = replay.replay_run(conn, parse.parse_kept_log(open(first, "rb").read())["chip"])
    engine.dispose()
    second = run_board(again, os.path.join(folder, "replayed"))
    with open(second, "rb") as f:
        twice, _ = replay.board_of_log(f.read())
    return first, second, again, twice


def without_comments(board):
    return {k: v for k, v in board.items() if not k.startswith("_")}


def check_all(boards, tmp_path):
    """Round-trips every (name, board) PARALLEL at a time and checks each."""
    with concurrent.futures.ThreadPoolExecutor(PARALLEL) as pool:
        done = {name: pool.submit(round_trip, b, str(tmp_path / name)) for name, b in boards}
    for name, future in done.items():
        first, second, again, twice = future.result()
        where = f"{name}: {tmp_path / name}"
        assert tallies(second) == tallies(first), where
        assert without_comments(twice) == without_comments(again), where


def test_every_shipped_faulty_board_replays_port_for_port(tmp_path):
    boards = []
    for path in sorted(glob.glob(os.path.join(ROOT, "fixture", "boards", "*.json"))):
        with open(path) as f:
            board = json.load(f)
        if has_faults(board) or has_probed_device(board):
            boards.append((os.path.basename(path)[:-5], board))
    assert boards
    check_all(boards, tmp_path)


def drops(kind):
    """Draws the frames one port loses, over a run's tries."""
    return st.sets(st.integers(1, FRAMES[kind]), max_size=FRAMES[kind])


pattern = st.fixed_dictionaries({
    "rs485": st.lists(drops("RS485"), min_size=RS485, max_size=RS485),
    "rs232": st.lists(drops("RS232"), min_size=RS232, max_size=RS232)}).filter(
        lambda p: any(p["rs485"]) and any(p["rs232"]))  # something lost on both kinds


def board_of(p):
    """Returns a board whose ports lose the drawn frames."""
    def entry(kind, i, lost):
        return {"name": f"{kind}-{i + 1}", "faults": [{"drop_rx": sorted(lost)}] if lost else []}
    return {"hostname": "ZR-A7-T100", "otp": "0x2A1B3C4D", "zrdio_conf": "",
            "rs485": [entry("RS485", i, d) for i, d in enumerate(p["rs485"])],
            "rs232": [entry("RS232", i, d) for i, d in enumerate(p["rs232"])],
            "args": ["Port=All", f"Cnt={TRIES}"]}


# No shrinking: each example is real fixture runs, and a failure names its boards' folders.
@settings(max_examples=2, deadline=None, derandomize=True, phases=[Phase.explicit, Phase.generate],
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(st.lists(pattern, min_size=PARALLEL, max_size=PARALLEL))
def test_random_failure_patterns_replay_try_for_try(tmp_path_factory, patterns):
    tmp = tmp_path_factory.mktemp("pattern")
    check_all([(f"p{i}", board_of(p)) for i, p in enumerate(patterns)], tmp)
