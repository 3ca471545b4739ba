"""The station's places: each one's state, and its board's run in a thread of its own.

Place: one fixture's state as the panel and the API show it (see view()).
begin(place, settings, operator, serial, retest) -> None when the run started, else
    the reason it may not (the place is busy, a board that failed its retest).
request_stop(place): Ctrl-C to the program at the next poll.
Each run's end is one line on the panel's output (outcome()): "rigpanel: PLACE: LABEL: STATE; ...".
States: "free" (no run yet), "testing", "PASS", "FAIL", "no answer" (the board did not
answer within its limit; the place is free again), "no verdict" (stopped, or no whole
run to read: the board's own verdict command says so too).
"""
import dataclasses
import threading
import time

from rigresults_lib import parse

from . import board as boards
from . import progress, record

POLL_S = 1.0             # the trace log is read this often
STOPPED = "stopped by the operator"


@dataclasses.dataclass
class Place:
    name: str
    env_file: str
    target: str
    answer_s: float                  # the board's shell answers within this
    timeout_s: float                 # the program logs its result within this
    lock: threading.Lock = dataclasses.field(default_factory=threading.Lock)
    stop: threading.Event = dataclasses.field(default_factory=threading.Event)
    state: str = "free"
    operator: str = ""
    serial: str = ""
    chip: str = ""
    device_type: str = ""
    progress: float = 0.0
    step: str = ""
    seconds_left: float = 0.0
    failed_ports: list = dataclasses.field(default_factory=list)
    reason: str = ""
    run_id: int = None               # the stored run
    retest_of: int = None            # this run retests that stored run
    is_retest: bool = False
    stored: str = ""                 # where the run went, or why it was not stored


def next_step(p):
    """Returns what the operator does next at a place."""
    if p.state == "testing":
        return "wait; Esc stops the test"
    if p.state == "PASS":
        return "take the board out; scan the next one"
    if p.state == "FAIL":
        return "to repair: set the board aside" if p.is_retest else "Enter: retest this board once"
    if p.state in ("no answer", "no verdict"):
        return "check the board and its cables; scan to start again"
    return "scan the board's label, Enter starts"


def view(p):
    """Returns the place's state as the API gives it."""
    with p.lock:
        return {"place": p.name, "state": p.state, "chip": p.chip, "device_type": p.device_type,
                "progress": round(p.progress, 3), "step": p.step, "seconds_left": round(p.seconds_left),
                "failed_ports": list(p.failed_ports), "operator": p.operator, "serial": p.serial,
                "reason": p.reason, "run_id": p.run_id, "retest": p.is_retest, "next": next_step(p),
                "stored": p.stored}


def begin(p, settings, operator, serial, retest=False):
    """Starts a run at the place; returns None, or why it does not start."""
    with p.lock:
        if p.state == "testing":
            return "the place is testing"
        failed_before = p.state == "FAIL"
        same_board = failed_before and (retest or (serial and serial == p.serial))
        if retest and not failed_before:
            return "no failed board to retest at this place"
        if same_board and p.is_retest:
            return "to repair: this board failed its retest"
        if retest:
            serial = p.serial
        p.retest_of, p.is_retest = (p.run_id, True) if same_board else (None, False)
        p.state, p.operator, p.serial, p.reason, p.stored = "testing", operator, serial, "", ""
        p.chip = p.device_type = p.step = ""
        p.progress, p.seconds_left, p.failed_ports, p.run_id = 0.0, 0.0, [], None
        p.stop.clear()
    threading.Thread(target=run, args=(p, settings), name=f"place {p.name}", daemon=True).start()
    return None


def request_stop(p):
    """Asks the place's run to stop the program (Ctrl-C); returns whether one is running."""
    with p.lock:
        if p.state != "testing":
            return False
        p.stop.set()
        return True


def update(p, **values):
    """Sets fields of the place under its lock."""
    with p.lock:
        for k, v in values.items():
            setattr(p, k, v)


def watch(p, board):
    """Follows the run until its result line or a stop; returns the result line, or None when stopped."""
    end = time.monotonic() + p.timeout_s
    running, since, seen = None, time.monotonic(), progress.Seen()
    while not p.stop.is_set():
        seen = progress.merge(seen, progress.read(boards.poll(board)))
        if (seen.test, seen.try_no) != running:
            running, since = (seen.test, seen.try_no), time.monotonic()
        done, step, left = progress.estimate(seen, time.monotonic() - since)
        update(p, chip=seen.chip, device_type=seen.device_type, progress=done, step=step, seconds_left=left)
        if seen.result:
            return seen.result
        if time.monotonic() > end:
            raise boards.NoAnswer(f"no result within {p.timeout_s:.0f} s ({step})")
        p.stop.wait(POLL_S)
    return None


def run(p, settings):
    """The place's run, then its outcome as one line on the panel's output (the station's log)."""
    try:
        run_board(p, settings)
    finally:
        try:
            print(outcome(p), flush=True)
        except (OSError, ValueError):  # a panel started without an output: the place still says it
            pass


def outcome(p):
    """Returns the place's outcome as one line: its state, why, and where the run was stored."""
    with p.lock:
        said = [p.state] + [t for t in (p.reason, "retest" if p.is_retest else "", p.stored) if t]
        return f"rigpanel: {p.name}: {p.serial or 'no label'}: " + "; ".join(said)


def run_board(p, settings):
    """Connects, starts, watches, stops, reads the verdict and stores the run."""
    try:
        board = boards.connect(p.env_file, p.target, p.answer_s)
    except boards.NoAnswer as e:
        update(p, state="no answer", reason=str(e), step="")
        return
    except Exception as e:  # an environment file labgrid cannot use: said at the place
        update(p, state="no answer", reason=f"the place's environment: {boards.reason(e)}", step="")
        return
    try:
        if p.stop.is_set():  # stopped while the board was being reached: nothing started
            update(p, state="no verdict", reason=STOPPED, step="stopped")
            return
        update(p, step="starting")
        boards.start(board, settings.args)
        try:
            result = watch(p, board)
        except boards.NoAnswer as e:
            stop_quietly(board)
            update(p, state="no answer", reason=str(e))
            return
        if result is None:
            update(p, step="stopping: the program ends its tries")
            status = boards.stop(board, 0, p.timeout_s)
        else:
            status = boards.stop(board, settings.show_s)
        found = boards.collect(board)
        finish(p, settings, found, status, result)
    except Exception as e:  # the board stopped answering mid-run: a timeout of labgrid's
        update(p, state="no answer", reason=boards.reason(e))
    finally:
        boards.close(board)


def stop_quietly(board):
    """Stops a program that gave no result, as far as the board still answers."""
    try:
        boards.stop(board, 0)
    except Exception:  # the board is not answering: nothing more to do
        pass


def finish(p, settings, found, status, result):
    """Shows the board's verdict and stores the run with its meta."""
    state = {"PASS": "PASS", "FAIL": "FAIL"}.get(found.verdict, "no verdict")
    reason = STOPPED if result is None else "" if state != "no verdict" else f"the board's verdict: {found.verdict}"
    failed, run_id, stored = [], None, ""
    if found.log is not None:
        meta = {"operator": p.operator, "serial": p.serial or None, "station_version": settings.version,
                "retest_of": p.retest_of}
        try:
            url, run_id, run = record.keep(settings.db, settings.station, p.name, found.log, found.report,
                                           None if status is None else f"exit {status}", meta)
            failed, stored = record.failed_tallies(run), f"stored as run {run_id}"
        except parse.Refused as e:
            stored = f"not stored: {e}"
        except Exception as e:  # a store that fails: said at the place, the run's verdict stands
            stored = f"not stored: {boards.reason(e)}"
    else:
        stored = "not stored: no kept log on the board"
    if found.after is not None and found.after[2] != 0:
        reason = (reason + "; " if reason else "") + f"the last step ended with status {found.after[2]}"
    update(p, state=state, reason=reason, failed_ports=failed, run_id=run_id, stored=stored,
           progress=1.0 if state != "no verdict" else p.progress, seconds_left=0.0,
           step="done" if state != "no verdict" else "stopped" if result is None else p.step)
