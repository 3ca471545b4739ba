"""One board's run over labgrid, step by step, so that a place can watch and stop it.

connect(env_file, target_name, answer_s) -> Board: the board's shell, logged in
    within answer_s seconds (raises NoAnswer with the reason otherwise).
start(board, args), poll(board) -> trace log lines, stop(board) -> exit status or
    None, collect(board) -> Collected, close(board).
The program runs in the background of the console's shell (or over SSH) while the
station reads its trace log once a second; "fg" and Ctrl-C end it as an operator
does at the console (over SSH: SIGINT).
"""
import dataclasses
import threading
import time

import rigstation
from labgrid import Environment
from labgrid.step import Steps, steps as labgrid_steps
from labgrid.protocol import CommandProtocol

LOG_GLOB = rigstation.LOG_DIR + "/rigChkEx*log"
# The banner and the run's parameters, then the newest try or result line.
PROGRESS_COMMAND = (f"grep -h -e '@:' -e '] hostname:' -e '] iMx6ull:' {LOG_GLOB} | head -n 16; "
                    f"grep -h -e 'Try Test' -e 'iTestSta:' -e 'Err Get Port Info!!!' {LOG_GLOB} | tail -n 2")
COMMAND_S = 30           # a shell command on the board answers within this


class ThreadSteps(Steps):
    """labgrid's stack of running steps, one per thread: labgrid keeps one for the
    process and asserts that steps end in the order they began, which the places'
    runs, each in its own thread, do not keep among each other."""
    local = threading.local()

    @property
    def _stack(self):
        if not hasattr(self.local, "stack"):
            self.local.stack = []
        return self.local.stack

    @_stack.setter
    def _stack(self, value):
        self.local.stack = value


labgrid_steps.__class__ = ThreadSteps


class NoAnswer(Exception):
    """The board did not answer; str() is the reason."""


@dataclasses.dataclass
class Board:
    env: object
    target: object
    shell: object
    console: object      # None over SSH
    pid: str = ""        # the program's process id over SSH


@dataclasses.dataclass
class Collected:
    verdict: str         # PASS, FAIL, NONE (no complete run) or "status N"
    verdict_text: str
    report: str          # None: no report on the board
    log: str             # None: no kept log
    after: tuple         # (command, output, status) of the last step, or None


def connect(env_file, target_name, answer_s):
    """Returns the board's logged-in shell; raises NoAnswer when it does not come within answer_s."""
    env = Environment(config_file=env_file)
    target = env.get_target(target_name)
    if target is None:
        raise NoAnswer(f"the environment has no target {target_name!r}")
    try:
        shell = target.get_driver(CommandProtocol, activate=False)
        if hasattr(shell, "login_timeout"):
            shell.login_timeout = int(answer_s)
        target.activate(shell)
    except Exception as e:  # labgrid's timeouts and a console that cannot be opened alike
        close(Board(env, target, None, None))
        raise NoAnswer(f"no shell within {answer_s:.0f} s: {reason(e)}") from None
    return Board(env, target, shell, rigstation.console_of(target))


def reason(e):
    """Returns an exception as one bounded line of text."""
    text = " ".join(f"{type(e).__name__}: {e}".split())
    return text[:200]


def start(board, args):
    """Starts the program in the background, its old logs removed first."""
    board.shell.run(f"rm -f {rigstation.REPORT} {LOG_GLOB}", timeout=COMMAND_S)
    if board.console is not None:
        board.console.sendline(rigstation.background_command(args))
        board.console.expect(board.shell.prompt, timeout=COMMAND_S)
    else:
        lines, _, _ = board.shell.run(rigstation.background_ssh_command(args), timeout=COMMAND_S)
        board.pid = lines[-1].strip() if lines else ""


def poll(board):
    """Returns the trace log's lines that tell the run's progress."""
    lines, _, _ = board.shell.run(PROGRESS_COMMAND, timeout=COMMAND_S, decodeerrors="replace")
    return lines


def stop(board, show_s, end_s=rigstation.STOP_TIMEOUT_S):
    """Lets the result show for show_s seconds, then stops the program with Ctrl-C (SIGINT
    over SSH) and waits up to end_s seconds for its end (stopped amid its tries, it first
    ends them); returns its exit status, None when it is not known."""
    if board.console is None:
        time.sleep(show_s)
        if board.pid.isdigit():
            board.shell.run(f"kill -INT {board.pid}", timeout=COMMAND_S)
            end = time.monotonic() + end_s
            while board.shell.run(f"kill -0 {board.pid}", timeout=COMMAND_S)[2] == 0 and time.monotonic() < end:
                time.sleep(rigstation.POLL_S)
        return None
    board.console.sendline("fg")
    time.sleep(show_s)
    board.console.write(rigstation.CTRL_C)
    board.console.expect(board.shell.prompt, timeout=end_s)
    board.console.sendline("echo exit=$?")
    _, _, match, _ = board.console.expect(r"exit=(\d+)", timeout=COMMAND_S)
    board.console.expect(board.shell.prompt, timeout=COMMAND_S)
    return int(match.group(1))


def collect(board):
    """Returns the board's verdict, report, kept log (the live log of a run stopped
    before its end, stored as an aborted run) and last step's outcome."""
    verdict_text, verdict = rigstation.read_verdict(board.shell)
    report = rigstation.read_file(board.shell, rigstation.REPORT)
    log = rigstation.read_file(board.shell, rigstation.KEPT_LOGS)
    if log is None:
        log = rigstation.read_file(board.shell, rigstation.LIVE_LOG)
    after = rigstation.after_test(board.target, board.shell)
    return Collected(verdict, verdict_text, report, log, after)


def close(board):
    """Releases the board's drivers (a twin is switched off) and the environment."""
    try:
        board.target.cleanup()
    except Exception:  # a console already gone; nothing more to release
        pass
