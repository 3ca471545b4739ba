# Options of the station's run (the labgrid plugin adds --lg-env).
import os
import socket
import sys

import pytest
from sqlalchemy.engine import make_url

import rigstation
from rigresults_lib import importer, parse, sync


def pytest_addoption(parser):
    group = parser.getgroup("rigchkEx station")
    group.addoption("--rig-args", default="Port=All Cnt=1", help="the self-test's arguments")
    group.addoption("--rig-show", type=float, default=3.0,
                    help="seconds the result pattern shows before Ctrl-C")
    group.addoption("--rig-timeout", type=float, default=300.0,
                    help="seconds the self-test has to log its result")
    group.addoption("--rig-out", default="station-results",
                    help="folder of the results, one sub-folder per board")
    group.addoption("--rig-board", default=None,
                    help="the board's name in the results (default: the environment file's name)")
    group.addoption("--rig-db", default=None,
                    help="results store URL the run is kept in (default: the embedded store); "
                         "when its server is unreachable, the embedded store keeps it")
    group.addoption("--rig-station", default=socket.gethostname(),
                    help="the station's name in the results store (default: this machine's name)")


@pytest.fixture(scope="session")
def station(request):
    opt = request.config.getoption
    board = opt("--rig-board") or os.path.splitext(os.path.basename(opt("--lg-env") or "board"))[0]
    return rigstation.Settings(args=opt("--rig-args"), show_s=opt("--rig-show"), timeout_s=opt("--rig-timeout"),
                               board=board, out=os.path.join(opt("--rig-out"), board))


@pytest.fixture
def ended(request, station):
    """Where the test leaves the program's exit status; afterwards, passed or failed,
    the board's run is stored in the results store."""
    record = {"exit_status": None, "run_dir": None}
    yield record
    opt = request.config.getoption
    keep_run(station, record["exit_status"], record["run_dir"], opt("--rig-db"), opt("--rig-station"))


def keep_run(station, status, run_dir, db_url, station_name):
    """Stores the board's run (its kept log and report, in the run's folder) in the results store."""
    log = run_dir and os.path.join(run_dir, importer.STATION_LOG)
    if not log or not os.path.exists(log):
        return
    try:
        found = importer.load_run(log, station_name, fixture=station.board,
                                  exit_status=None if status is None else f"exit {status}")
    except parse.Refused as e:
        print(f"rigresults: refused {log}: {e}", file=sys.stderr)
        return
    url, new, _ = sync.store_or_keep(db_url, [found])
    print(f"rigresults: run of {station.board} {'stored' if new else 'already stored'} in "
          f"{make_url(url)!r}", file=sys.stderr)
