"""A run's progress as the board's trace log tells it, and the time it has left.

merge(old, new) -> Seen: two reads together.
read(lines) -> Seen: the run's parameters, chip and device type, the try and test
    now running, and its result line, from trace log lines (any order, any number;
    lines that are no trace log lines are skipped).
plan(seen) -> [(test, try, seconds)]: every test of the run in order with the time
    the program's fixed waits give it.
estimate(seen, since_s) -> (progress 0..1, step text, seconds left): since_s is how
    long the test now running has been seen running.
The times are those of the program's own sleeps and read waits for the ports the
inventory found and the tries asked, not measured ones: a board that answers late
takes longer, and its time left stays at the running test's share until it moves on.
"""
import dataclasses
import re

# "12=[RtLog][2026-12-09 04:50:40] message\tfile function line=12"
LINE = re.compile(r"\d+=\[RtLog\]\[[^]\n]{0,40}\] ([^\t\n]*)\t")
PARAM = re.compile(r"@:(nTestCnt|iPortSelect|RS485 Cnt|RS232 Cnt|DO Cnt|DI Cnt):(-?\d{1,6})\Z")
TRY = re.compile(r"\*{4}Try Test (RS485|RS232|DIO_NO|DIO_NC|DIO|DI) (\d{1,6})\*{5}\Z")
RESULT = re.compile(r"(iTestSta:-?\d{1,3}|Err Get Port Info!!!)\Z")
BANNER = {"hostname:": "device_type", "iMx6ull:": "chip"}
MAX_LINE = 512           # longer lines are no line of the program's
MAX_NAME = 64            # a device type or chip identity is shown up to this length
SEL_DIO, SEL_RS232, SEL_RS485 = 1, 2, 4
TEST_ORDER = ("RS485", "RS232", "DIO", "DI", "DIO_NO", "DIO_NC")   # within a try
CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")

# The program's fixed waits, in seconds.
START_S = 2.0            # after the handler is installed, before the inventory
FIRST_TRY_S = 2.0        # after the test banner, before the first try
AFTER_TRY_S = 1.0        # after each try
SEND_WAIT_S = 0.3        # after each send of the serial loopback tests
READ_WAIT_S = 0.2        # a serial read's wait for data
# An RS232 pair: two sends, two reads, two silent echo checks of two read waits each.
PAIR_S = 2 * SEND_WAIT_S + 2 * READ_WAIT_S + 2 * 2 * READ_WAIT_S
PROBE_S = 0.5 + READ_WAIT_S   # a device probe on a serial port: its sleep, then its answer read
DIO_SETTLE_S = 1.0       # a DO-to-DI test's settling
DIO_PAUSE_S = 1.0        # between the NO and the NC test
DI_POLL_S = 0.5          # the DI switching test's poll: one toggle brings a sound input
DI_PAUSE_S = 3.0         # the DI switching test's pause after each input


@dataclasses.dataclass
class Seen:
    """What the trace log told so far."""
    params: dict = dataclasses.field(default_factory=dict)   # nTestCnt, iPortSelect, the counts
    chip: str = ""
    device_type: str = ""
    test: str = ""       # the test now running (RS485, RS232, DIO_NO, DIO_NC, DIO, DI)
    try_no: int = 0      # its try, from 1
    result: str = ""     # "iTestSta:0", "iTestSta:-1", "Err Get Port Info!!!"


def read(lines):
    """Returns what the trace log lines tell (the last try line seen counts)."""
    seen = Seen()
    for line in lines:
        m = LINE.match(line[:MAX_LINE])
        if not m:
            continue
        message = m.group(1)
        p = PARAM.match(message)
        t = TRY.match(message)
        r = RESULT.match(message)
        if p:
            seen.params[p.group(1)] = int(p.group(2))
        elif t:
            seen.test, seen.try_no = t.group(1), int(t.group(2))
        elif r:
            seen.result = r.group(1)
        else:
            for key, field in BANNER.items():
                if message.startswith(key):
                    setattr(seen, field, visible(message[len(key):][:MAX_NAME]))
    return seen


def merge(old, new):
    """Returns what two reads of the log tell together: a line the program's console output
    cut in one read (it shares the console) takes nothing away that an earlier read saw."""
    def at(seen):
        return seen.try_no, TEST_ORDER.index(seen.test) if seen.test in TEST_ORDER else -1
    newest = new if at(new) >= at(old) else old
    return Seen(params={**old.params, **new.params}, chip=new.chip or old.chip,
                device_type=new.device_type or old.device_type, test=newest.test, try_no=newest.try_no,
                result=new.result or old.result)


def visible(text):
    """Returns a name from the board with its control characters shown as \\xNN."""
    return CONTROL.sub(lambda m: f"\\x{ord(m.group()):02x}", text)


def rs485_s(n):
    """Returns an RS485 test's time: one send wait per port, or one probe wait on a single port."""
    return SEND_WAIT_S * n


def rs232_s(n):
    """Returns an RS232 test's time: its pairs, and a probe on an odd port out."""
    return PAIR_S * (n // 2) + PROBE_S * (n % 2)


def dio_tests(n_do, n_di):
    """Returns the DIO tests of one try as [(test, seconds)], chosen by the channel counts."""
    if n_di < 2 * n_do:
        return [("DIO", 0.0)]
    if n_do == 0:
        return [("DI", (DI_POLL_S + DI_PAUSE_S) * n_di)]
    return [("DIO_NO", DIO_SETTLE_S + DIO_PAUSE_S), ("DIO_NC", DIO_SETTLE_S)]


def plan(seen):
    """Returns every test of the run as (test, try, seconds), the pause after a try in its last test."""
    p = seen.params
    tries = max(0, min(p.get("nTestCnt", 0), 50))
    select = p.get("iPortSelect", 0)
    one_try = []
    if select & SEL_RS485:
        one_try.append(("RS485", rs485_s(max(0, p.get("RS485 Cnt", 0)))))
    if select & SEL_RS232:
        one_try.append(("RS232", rs232_s(max(0, p.get("RS232 Cnt", 0)))))
    if select & SEL_DIO:
        one_try += dio_tests(max(0, p.get("DO Cnt", 0)), max(0, p.get("DI Cnt", 0)))
    out = []
    for t in range(1, tries + 1):
        for i, (test, s) in enumerate(one_try):
            out.append((test, t, s + (AFTER_TRY_S if i == len(one_try) - 1 else 0.0)))
    return out


def step_text(test, try_no, tries):
    """Returns the step as the operator reads it, e.g. "RS232 try 12 of 50"."""
    return f"{test.replace('_', ' ')} try {try_no} of {tries}"


def estimate(seen, since_s):
    """Returns (progress 0..1, step text, seconds left) of the run so far."""
    if seen.result:
        return 1.0, "done", 0.0
    steps = plan(seen)
    total = START_S + FIRST_TRY_S + sum(s for _, _, s in steps)
    if not seen.test:
        return 0.0, "starting" if not seen.params else "before the first try", total
    at = next((i for i, (test, t, _) in enumerate(steps) if (test, t) == (seen.test, seen.try_no)), None)
    if at is None:  # a try line the plan does not hold: no time to tell
        return 0.0, step_text(seen.test, seen.try_no, seen.params.get("nTestCnt", 0)), 0.0
    done = START_S + FIRST_TRY_S + sum(s for _, _, s in steps[:at]) + min(max(since_s, 0.0), steps[at][2])
    return min(done / total, 1.0), step_text(seen.test, seen.try_no, len(steps) and steps[-1][1]), total - done
