#!/usr/bin/python3
"""A day on the line: a batch of simulated boards through three stations,
stored in the results store, and the dashboard served over them.

Each station has one fixture and runs the station suite (labgrid, one pytest
per board) on its boards one after the other; the three stations run at the
same time. The batch is a realistic mix: most boards pass, a few have a hard
fault, one drops a received frame now and then (an intermittent port), and
the third station's RS232 cable breaks during the day (its receive wire is
cut from its fourth board on), so RS232-1 fails there on board after board
while it passes at the others. Every board that failed is retested once at
another station whose cable is sound. Each station's test keeps its runs in
the day's store as they finish (--rig-db); then the views are printed and the
dashboard is served until Ctrl-C.

    /usr/bin/python3 station/day_on_the_line.py [--boards 24] [--out DIR]
        [--build build/host] [--port 8000] [--no-serve]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PY = "/usr/bin/python3"
STATIONS = ("ST-1", "ST-2", "ST-3")
FIXTURES = {"ST-1": "fixture-1", "ST-2": "fixture-2", "ST-3": "fixture-3"}  # one per station
RETEST_STATIONS = ("ST-1", "ST-2")   # the stations whose cables stay sound
BAD_CABLE_STATION = "ST-3"
BAD_CABLE_PORT = "RS232-1"
BAD_CABLE_FROM = 3                   # boards the cable still served before it broke
TRIES = 3
PROGRAM_ARGS = f"Port=All Cnt={TRIES}"
CONSOLE_WAIT_S = 30                  # a board's console is up well within this
STOP_WAIT_S = 20                     # ... and its shell has ended this long after "exit"
OTP_BASE = 0x2A1C0001                # chip identities of the batch, one per board
DEVICE_TYPES = ("ZR-A7-T100", "ZR-A7-T100", "ZR-A7-T100", "ZR-A7-T200")
# Board number (from 1) -> what is wrong with it; the rest are sound.
HARD_FAULTS = {
    5: ("rs485", "RS485-2", "deaf"),      # receive wire not soldered
    10: ("dio", "DI3", "stuck0"),         # a DI input that never switches
    20: ("rs232", "RS232-2", "corrupt"),  # a transceiver that flips a bit
}
INTERMITTENT = {13: ("rs485", "RS485-1")}  # loses its second frame on the first run only


def board_file(number, station, station_index, retest):
    """Returns the board description of board NUMBER (from 1) as run at
    STATION as its STATION_INDEX-th board (from 0); RETEST marks its second run."""
    ports = {"rs485": ["RS485-1", "RS485-2"], "rs232": ["RS232-1", "RS232-2"]}
    dio = {"do": 2, "di": 4}
    faults = {}
    if number in HARD_FAULTS:
        kind, port, fault = HARD_FAULTS[number]
        faults.setdefault((kind, port), []).append(fault)
    if number in INTERMITTENT and not retest:
        faults.setdefault(INTERMITTENT[number], []).append({"drop_rx": [2]})
    if station == BAD_CABLE_STATION and station_index >= BAD_CABLE_FROM:
        faults.setdefault(("rs232", BAD_CABLE_PORT), []).append("deaf")
    for (kind, port), f in faults.items():
        if kind == "dio":
            dio["faults"] = {port: f[0]}
        else:
            ports[kind] = [{"name": p, "faults": f} if p == port else p for p in ports[kind]]
    return {
        "description": f"Board {number} of the day at {station}" + (" (retest)" if retest else ""),
        "hostname": DEVICE_TYPES[(number - 1) % len(DEVICE_TYPES)],
        "otp": f"0x{OTP_BASE + number - 1:08X}",
        **ports, "dio": dio,
    }


def run_board(build, out, db, station, name, board):
    """Runs the station suite on one simulated board, which keeps the run in the
    store at DB; returns pytest's exit status. Its files go to
    OUT/STATION/results/NAME/<fixture>/, as a station keeps them."""
    runs, results = os.path.join(out, station, "runs"), os.path.join(out, station, "results", name)
    os.makedirs(runs, exist_ok=True)
    os.makedirs(results, exist_ok=True)
    board_path = os.path.join(runs, name + ".json")
    with open(board_path, "w") as f:
        json.dump(board, f, indent=1)
    fixture_out = os.path.join(runs, name + ".txt")
    rig = subprocess.Popen([os.path.join(build, "fixture/bin/rigfixture"), "--board", board_path,
                            "--out", os.path.join(runs, name), "--console"],
                           stdin=subprocess.DEVNULL, stdout=open(fixture_out, "w"),
                           stderr=subprocess.STDOUT)
    try:
        pty = wait_for_console(fixture_out)
        if not pty:
            print(f"day: {station} {name}: no console; see {fixture_out}", file=sys.stderr)
            return 1
        env_path = os.path.join(runs, name + ".yaml")
        with open(os.path.join(ROOT, "station/env/simulated.yaml")) as f:
            env_text = f.read().replace("!template $LG_CONSOLE", pty)
        with open(env_path, "w") as f:
            f.write(env_text)
        with open(os.path.join(results, "pytest.log"), "w") as log:
            return subprocess.call(
                [PY, "-m", "pytest", "-p", "no:cacheprovider", "-q",
                 os.path.join(ROOT, "station/test_selftest.py"), "--lg-env", env_path,
                 "--rig-args", PROGRAM_ARGS, "--rig-out", results, "--rig-board", FIXTURES[station],
                 "--rig-db", db, "--rig-station", station],
                stdout=log, stderr=subprocess.STDOUT, cwd=ROOT)
    finally:
        stop_board(rig, os.path.join(runs, name, "console"))


def wait_for_console(fixture_out):
    """Returns the board console's pseudo-terminal once rigfixture printed it, or ""."""
    for _ in range(CONSOLE_WAIT_S * 10):
        with open(fixture_out, errors="replace") as f:
            for line in f:
                if line.startswith("rigfixture: console /dev/pts/"):
                    return line.split()[2]
        time.sleep(0.1)
    return ""


def stop_board(rig, console):
    """Ends the board's shell ("exit" at its console), then the fixture."""
    try:
        with open(console, "w") as f:
            f.write("exit\n")
    except OSError:
        pass
    try:
        rig.wait(STOP_WAIT_S)
    except subprocess.TimeoutExpired:
        rig.terminate()   # hangs the console up
        rig.wait()


def run_lanes(build, out, db, lanes, outcome):
    """Runs each station's list of (name, number, board) in its own thread, the
    stations at once; records every run's pytest status in OUTCOME."""
    def lane(station, jobs):
        for name, number, board in jobs:
            rc = run_board(build, out, db, station, name, board)
            outcome[name] = (station, number, rc)
            print(f"day: {station} {name} ({board['otp']}): {'pass' if rc == 0 else 'FAIL'}", flush=True)
    threads = [threading.Thread(target=lane, args=item) for item in lanes.items() if item[1]]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def first_runs(count):
    """Returns each station's boards of the day: board n goes to station n mod 3."""
    lanes = {s: [] for s in STATIONS}
    for number in range(1, count + 1):
        station = STATIONS[(number - 1) % len(STATIONS)]
        board = board_file(number, station, len(lanes[station]), False)
        lanes[station].append((f"b{number:02d}", number, board))
    return lanes


def retests(outcome):
    """Returns the retest lanes: every failed board once more, at the sound
    station with fewer retests other than the one it failed at."""
    lanes = {s: [] for s in RETEST_STATIONS}
    for name, (station, number, rc) in sorted(outcome.items()):
        if rc == 0:
            continue
        choices = [s for s in RETEST_STATIONS if s != station]
        target = min(choices, key=lambda s: len(lanes[s]))
        lanes[target].append((name + "-retest", number, board_file(number, target, 0, True)))
    return lanes


def rigresults(db, *args):
    """Runs a subcommand of station/rigresults on the day's store; returns its status."""
    return subprocess.call([PY, os.path.join(ROOT, "station/rigresults"), "--db", db, *args])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--boards", type=int, default=24)
    ap.add_argument("--out", default="build/day-on-the-line")
    ap.add_argument("--build", default="build/host")
    ap.add_argument("--port", type=int, default=8000)
    ap.add_argument("--no-serve", action="store_true", help="store and print the views, serve nothing")
    opt = ap.parse_args()
    os.chdir(ROOT)
    build, out = os.path.abspath(opt.build), os.path.abspath(opt.out)
    if not os.access(os.path.join(build, "fixture/bin/rigfixture"), os.X_OK):
        sys.exit(f"day: no {build}/fixture/bin/rigfixture: cmake --preset host && cmake --build --preset host")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    os.environ["PYTHONDONTWRITEBYTECODE"] = "1"
    db = "sqlite:///" + os.path.join(out, "results.db")

    start = time.monotonic()
    outcome = {}
    run_lanes(build, out, db, first_runs(opt.boards), outcome)
    first = dict(outcome)
    run_lanes(build, out, db, retests(first), outcome)
    seconds = time.monotonic() - start
    failed = sum(1 for _, _, rc in first.values() if rc)
    print(f"day: {len(outcome)} runs of {opt.boards} boards in {seconds:.0f} s; "
          f"{failed} failed their first run and were retested")

    for view in (["yield"], ["pareto"], ["fixtures"], ["failures", "--nature", "intermittent"]):
        rigresults(db, *view)
    if not opt.no_serve:
        print(f"day: the dashboard is at http://127.0.0.1:{opt.port}/ (Ctrl-C ends it)", flush=True)
        try:
            rigresults(db, "serve", "--port", str(opt.port))
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main()
