# Options of the station's run (the labgrid plugin adds --lg-env).
import os

import pytest

import rigstation


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


@pytest.fixture(scope="session")
def station(request):
    opt = request.config.getoption
    board = opt("--rig-board") or os.path.splitext(os.path.basename(opt("--lg-env") or "board"))[0]
    return rigstation.Settings(args=opt("--rig-args"), show_s=opt("--rig-show"), timeout_s=opt("--rig-timeout"),
                               board=board, out=os.path.join(opt("--rig-out"), board))
