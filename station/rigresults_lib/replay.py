"""Turns a stored run back into a board file for the simulated fixture that gives the
same outcome, try for try.

replay_run(conn, key) -> (board dict, notes [(port, why)]), or raises parse.Refused
board_of_log(data) -> (board dict, notes): the same from a kept log's bytes
A note names a port whose outcome the board cannot give exactly, and why.

Every try's outcome of every serial port is worked out from the log's read lines with
the program's own marking rules, then checked against the summary's tallies; the board
then loses exactly the frames a failing try's port receives (drop_rx), so the port
fails on that try and on no other. A port that never passed is made deaf, one that
never took part at all does not open. The DIO channels' faults are searched per DO
(its DIs with it) on a model of the fixture's wiring until they give the same tallies.
"""
import itertools
import re

from . import parse, records, store

TEXT = "ABCDEFGHIJKLMNOPQRST1234567890!"  # the loopback tests' text
WR_OK, RD_OK, WR_ERR, RD_ERR = 1, 2, 4, 8   # a port's status bits within a try
FRESH, PASS = WR_ERR | RD_ERR, WR_OK | RD_OK
MAX_ARGS = 16             # a command line longer than this is no run of the program
MAX_ARG_CHARS = 64
MAX_NAME_CHARS = 64       # a serial port's /dev name
MAX_PORTS = 64            # serial ports of one kind, DO or DI channels: more is no board
MAX_GROUP_CHOICES = 20000  # DIO fault combinations tried per DO before giving up
HEAD = re.compile(r"[0-9A-F]{2}( [0-9A-F]{2})?\Z")
TRY = re.compile(r"-----Try Test (\d+)-----\Z")
SECTION = re.compile(r"\*\*\*\*Try Test (RS485|RS232|DIO|DIO_NO|DIO_NC|DI) (\d+)\*\*\*\*\*\Z")
PROBE = re.compile(r"Port:/dev/(.+) Test (OK|Err) !!!")
SETTING = re.compile(r"@:(bTestDWin|bTest4G|strDWinFramHead):(.*)\Z")
DIO_MISSING = re.compile(r"#######Err OpenDio:")
SCREEN_HOSTS = ("ZR-C3-P500A", "ZR-C3-P500B", "ZR-C3-P500C")
MODEM_HOST = "ZR-H6-R70N"
DI_FAULTS = (None, "stuck0", "stuck1", "fails")
DO_FAULTS = (None, "read_fails", "write_fails", "stuck0", "stuck1")


def find_run_id(conn, key):
    """Returns the id of run KEY (a run id) or of the last run of chip KEY, or None."""
    found = records.runs_of(conn, str(key))
    return found[-1].id if found else None


def replay_run(conn, key):
    """Returns (board, notes) of the stored run key; raises Refused when there is none to replay."""
    run_id = find_run_id(conn, key)
    if run_id is None:
        raise parse.Refused(f"no stored run or chip {str(key)[:60]!r}")
    data = store.file_bytes(conn, run_id)[0]  # as the store holds it
    if data is None:
        raise parse.Refused(f"the store holds no kept log of run {run_id}")
    return board_of_log(data)


def sections(messages):
    """Returns {(kind, try): [messages]} for the tries' RS485 and RS232 parts, in order."""
    found, current = {}, None
    for m in messages:
        s = SECTION.match(m)
        if s:
            current = (s.group(1), int(s.group(2))) if s.group(1) in ("RS485", "RS232") else None
            found.setdefault(current, []) if current else None
        elif TRY.match(m) or parse.TALLY.match(m):
            current = None
        elif current:
            found[current].append(m)
    return found


def mark(sta, port, bits, clear):
    sta[port] = (sta[port] & ~clear) | bits


def line_pattern(names):
    """Returns the pattern of a loopback test's line over these port names: sender, then
    "Err!" or the reader and OK/Error (none: the sender's echo check found nothing)."""
    name = "|".join(re.escape(n) for n in sorted(names, key=len, reverse=True))
    return re.compile(rf"(Err )?Write ({name}) msgSend:{re.escape(TEXT)}"
                      rf"(?:,Err! iwrite=| iwrite=|,Read ({name}) (?:(OK|Error)! )?(?:msg|iread):)")


def loop_try(lines, names, bus):
    """Returns (passed set, open set) of one loopback try (an RS485 bus, or RS232 pairs)
    from its lines, marking each port as the program does."""
    sta, seen, wrote, pattern = {n: FRESH for n in names}, set(), set(), line_pattern(names)
    for line in lines:
        m = pattern.match(line)
        if not m:
            continue
        failed_write, sender, reader, word = m.groups()
        seen.add(sender)
        if failed_write or reader is None:
            mark(sta, sender, WR_ERR, WR_OK)
            continue
        if sender not in wrote:
            wrote.add(sender)
            mark(sta, sender, WR_OK, WR_ERR)
        seen.add(reader)
        if word == "OK":
            mark(sta, reader, RD_OK, RD_ERR)
        elif word == "Error" and not (bus and sta[reader] == PASS):
            mark(sta, reader, RD_ERR, RD_OK)  # a receipt, or an RS232 sender hearing itself
    return {n for n in names if sta[n] == PASS}, seen


def probe_outcome(lines, name):
    """Returns True/False for the probe of port name in these lines, None without one."""
    for line in lines:
        m = PROBE.match(line)
        if m and m.group(1) == name:
            return m.group(2) == "OK"
    return None


def rs232_layout(names, screen, modem):
    """Returns (device port or None, [(a, b) pairs], sensor port or None) in the program's order."""
    rest, device = list(names), None
    if screen and rest:
        device = rest.pop(0)
    elif modem and rest:
        device = rest.pop()
    pairs = [(rest[i], rest[i + 1]) for i in range(0, len(rest) - 1, 2)]
    return device, pairs, rest[-1] if len(rest) % 2 else None


def serial_plan(kind, names, secs, tries, probes):
    """Returns {port: [passed per try]} and {port: taking part in some try} of one kind.
    probes: the ports whose outcome is a probe line (sensor, screen, modem)."""
    outcomes, seen_any = {n: [] for n in names}, set()
    for t in range(1, tries + 1):
        lines = secs.get((kind, t), [])
        passed, seen = loop_try(lines, names, kind == "RS485")
        seen_any |= seen
        for n in names:
            if n in probes:
                got = probe_outcome(lines, n)
                outcomes[n].append(bool(got))
                if got is not None:
                    seen_any.add(n)
            else:
                outcomes[n].append(n in passed)
    return outcomes, seen_any


def port_faults(outcomes, frames_per_try, dead):
    """Returns the faults that give a port these per-try outcomes, and a comment or None.
    dead: it took part in no try while others did."""
    if dead:
        return ["no_open"], "took part in no try: its /dev entry is made to lead nowhere"
    failing = [t + 1 for t, ok in enumerate(outcomes) if not ok]
    if not failing:
        return [], None
    if len(failing) == len(outcomes):
        return ["deaf"], "never passed: made deaf (the log does not tell which wire was cut)"
    drops = [f for t in failing for f in range((t - 1) * frames_per_try + 1, t * frames_per_try + 1)]
    if not drops:
        return [], None  # it receives nothing: it fails every try as it is
    return [{"drop_rx": drops}], f"fails on tries {failing}: loses every frame it receives in them"


def serial_entry(name, faults, extra=None):
    entry = {"name": name}
    entry.update(extra or {})
    if faults:
        entry["faults"] = faults
    return entry


def check_name(name):
    """Raises Refused when a serial port's name could not be a /dev entry of the fixture."""
    if not name or len(name) > MAX_NAME_CHARS or "/" in name or not name.isprintable():
        raise parse.Refused(f"the port name {name[:MAX_NAME_CHARS]!r} is no /dev entry")


# --- DIO: a model of the fixture's wiring, to find the faults that give the tallies


def dio_read_do(faults, level, d):
    f = faults.get(f"DO{d}")
    if f in ("fails", "read_fails"):
        return -1
    return int(f[-1]) if f and f.startswith("stuck") else level.get(d, 0)


def dio_read_di(faults, level, n, n_do):
    m = n - 1
    d = (m % (2 * n_do)) // 2 + 1
    f = faults.get(f"DO{d}")
    drive = int(f[-1]) if f and f.startswith("stuck") else level.get(d, 0)
    wire = 1 - drive if m % 2 == 0 else drive
    f = faults.get(f"DI{n}")
    if f in ("fails", "read_fails"):
        return -1
    return int(f[-1]) if f and f.startswith("stuck") else wire


def dio_group(faults, d, dis, n_do, tries):
    """Returns {channel: (NO passes, NC passes)} of DO d and its DIs over tries (all alike
    with steady faults), on the model of the fixture; level kept across calls."""
    level, tallies = {}, {}
    for _ in range(tries):
        for test, lv in (("NO", 1), ("NC", 0)):
            f = faults.get(f"DO{d}")
            switched = False
            if f not in ("fails", "write_fails"):
                level[d] = lv
                switched = dio_read_do(faults, level, d) == lv
            dsta, do_ok, di_ok = dio_read_do(faults, level, d), False, {}
            for n in dis:
                v = dio_read_di(faults, level, n, n_do)
                di_ok[n] = False
                if v < 0:
                    continue
                active = dsta == 1 if (n - 1) % 2 else dsta == 0
                di_ok[n] = (v != 0) if active else (v == 0)
                do_ok = do_ok or (dsta == v and switched)
            tallies.setdefault(f"DO-{d}", {})[test] = do_ok
            for n in dis:
                tallies.setdefault(f"DI-{n}", {})[test] = di_ok[n]
    return {k: (v["NO"], v["NC"]) for k, v in tallies.items()}


def dio_faults(n_do, n_di, want):
    """Returns (faults, notes): per DO, the fewest channel faults whose model gives the
    wanted (NO, NC) outcome of the DO and its DIs; notes where none does."""
    faults, notes = {}, []
    for d in range(1, n_do + 1):
        dis = [n for n in range(1, n_di + 1) if ((n - 1) % (2 * n_do)) // 2 + 1 == d]
        target = {f"DO-{d}": want[f"DO-{d}"], **{f"DI-{n}": want[f"DI-{n}"] for n in dis}}
        found = None
        if len(DO_FAULTS) * len(DI_FAULTS) ** len(dis) <= MAX_GROUP_CHOICES:
            choices = sorted(itertools.product(DO_FAULTS, *[DI_FAULTS] * len(dis)),
                             key=lambda c: sum(x is not None for x in c))
            for c in choices:
                trial = {f"DO{d}": c[0], **{f"DI{n}": f for n, f in zip(dis, c[1:])}}
                trial = {k: v for k, v in trial.items() if v}
                if dio_group(trial, d, dis, n_do, 1) == target:
                    found = trial
                    break
        if found is None:
            notes.append((f"DO-{d}", "no steady channel faults give its and its DIs' tallies"))
        else:
            faults.update(found)
    return faults, notes


def channel_outcomes(rows, tries):
    """Returns {channel: (NO passes, NC passes)} and notes for tallies mixed across tries."""
    got, notes = {}, []
    for r in rows:
        if r["kind"] not in ("DO", "DI"):
            continue
        ok = r["errors"] == 0 and r["successes"] == tries
        if r["successes"] and r["errors"]:
            notes.append((f"{r['port']} {r['test']}", "passed some tries and failed others: the "
                          "fixture's DIO faults are steady, so it fails every try here"))
        no, nc = got.get(r["port"], (None, None))
        got[r["port"]] = (ok, nc) if r["test"] == "NO" else (no, ok)
    return got, notes


def args_of(command):
    """Returns the program's arguments from the banner's command line; raises Refused."""
    words = command.split()
    if not words or len(words) > MAX_ARGS + 1 or any(len(w) > MAX_ARG_CHARS or not w.isprintable()
                                                      for w in words):
        raise parse.Refused("the logged command line is no command line of the program")
    return words[1:]


def check_text(what, value):
    """Raises Refused when a device type or chip could not be a board file's."""
    if not value or len(value) > MAX_NAME_CHARS or not value.isprintable():
        raise parse.Refused(f"the {what} {value[:MAX_NAME_CHARS]!r} cannot be a board's")


def board_of_log(data):
    """Returns (board, notes) that reproduce the kept log's run; raises Refused."""
    run = parse.parse_kept_log(data)
    if run["kinds"] is None:
        raise parse.Refused("the run's port inventory failed: there are no tries to replay")
    messages = list(parse.messages_of(data))
    params = parse.params_of(messages)
    settings = {}
    for m in messages:
        s = SETTING.match(m)
        if s:
            settings.setdefault(s.group(1), s.group(2))
    check_text("device type", run["device_type"])
    check_text("chip", run["chip"])
    tries, kinds, rows = run["tries"], run["kinds"], run["ports"]
    counts = [params.get(k, 0) for k in ("RS485 Cnt", "RS232 Cnt", "DO Cnt", "DI Cnt")]
    if not 0 < tries <= parse.MAX_TRIES or not all(0 <= c <= MAX_PORTS for c in counts):
        raise parse.Refused(f"{tries} tries and port counts {counts}: more than a board has")
    board = {"_comment": [f"replays run of chip {run['chip']} at {run['start_time']}"],
             "hostname": run["device_type"], "otp": run["chip"], "args": args_of(run["command"])}
    notes = []
    secs = sections(messages)
    rs485 = [f"RS485-{i}" for i in range(1, params.get("RS485 Cnt", 0) + 1)]
    rs232 = [r["port"] for r in rows if r["kind"] == "RS232"]
    for name in rs232:
        check_name(name)
    if len(set(rs232)) != len(rs232):
        raise parse.Refused("an RS232 name is listed twice")
    if kinds & parse.SEL_RS232 and len(rs232) != params.get("RS232 Cnt", 0):
        raise parse.Refused("the RS232 summary does not list every port")
    tallies = {r["port"]: (r["successes"], r["errors"]) for r in rows if r["test"] == ""}

    def comment(port, why):
        board["_comment"].append(f"{port}: {why}")

    def check(port, outcomes):
        """Returns the port's outcomes, from its tallies when its lines do not account for them."""
        succ, err = tallies.get(port, (sum(outcomes), len(outcomes) - sum(outcomes)))
        if (succ, err) == (sum(outcomes), len(outcomes) - sum(outcomes)):
            return outcomes
        if succ + err != tries:
            raise parse.Refused(f"{port}'s tallies do not add up to the run's {tries} tries")
        notes.append((port, "its read lines do not account for its tallies: the tallies are "
                      "reproduced, its failing tries taken as the last ones"))
        return [True] * succ + [False] * err

    if rs485:
        entries = []
        if kinds & parse.SEL_RS485:
            probes = set(rs485) if len(rs485) == 1 else set()
            outcomes, seen = serial_plan("RS485", rs485, secs, tries, probes)
            outcomes = {n: check(n, outcomes[n]) for n in rs485}
            dead = {n for n in rs485 if seen and n not in seen and not probes and not any(outcomes[n])}
            per_try = max(0, len(rs485) - len(dead) - 1) if not probes else 1
            for n in rs485:
                faults, why = port_faults(outcomes[n], per_try, n in dead)
                entries.append(serial_entry(n, faults))
                if why:
                    comment(n, why)
        else:
            entries = list(rs485)
        board["rs485"] = entries
    if rs232:
        screen = settings.get("bTestDWin") == "1"
        modem = settings.get("bTest4G") == "1" and not screen
        device, pairs, sensor = rs232_layout(rs232, screen, modem)
        probes = {p for p in (device, sensor) if p}
        extra = {}
        if device:
            extra[device] = {"device": "screen" if screen else "modem"}
            head = settings.get("strDWinFramHead", "A5 5A")
            if screen and HEAD.match(head):
                extra[device]["head"] = head
            elif screen:
                notes.append((device, f"the screen's frame head {head[:20]!r} is no head the fixture takes"))
        if screen and run["device_type"] not in SCREEN_HOSTS:
            board["settings_ini"] = "[DWin_SCREEN]\nbTest=1\nframeH=" + extra[device].get("head", "A5 5A") + "\n"
        if modem and run["device_type"] != MODEM_HOST:
            board["settings_ini"] = "[4GTest]\nbTest=1\n"
        entries = []
        if kinds & parse.SEL_RS232:
            outcomes, seen = serial_plan("RS232", rs232, secs, tries, probes)
            outcomes = {n: check(n, outcomes[n]) for n in rs232}
            dead = {n for n in rs232 if seen and n not in seen and n not in probes and not any(outcomes[n])}
            partner = {a: b for a, b in pairs} | {b: a for a, b in pairs}
            for n in rs232:
                per_try = 1 if n in probes or partner.get(n) not in dead else 0
                faults, why = port_faults(outcomes[n], per_try, n in dead)
                entries.append(serial_entry(n, faults, extra.get(n)))
                if why:
                    comment(n, why)
            for n in probes:
                if not all(outcomes[n]):
                    notes.append((n, "the device's wrong answers are not kept in the log: its failing "
                                  "tries lose the answer instead (same tallies, other log lines)"))
        else:
            entries = [serial_entry(n, [], extra.get(n)) for n in rs232]
        board["rs232"] = entries
    if not rs485 and not rs232:
        board["rs485"], board["rs232"] = [], []
    dio_board(board, run, params, messages, notes, comment)
    return board, notes


def dio_board(board, run, params, messages, notes, comment):
    """Adds the DIO device and its channel faults to board."""
    n_do, n_di = params.get("DO Cnt", 0), params.get("DI Cnt", 0)
    if n_do == 0 and n_di == 0:
        board["zrdio_conf"] = ""
        return
    conf = f"zr_di={','.join(map(str, range(1, n_di + 1)))}\nzr_do={','.join(map(str, range(1, n_do + 1)))}\n"
    if not run["kinds"] & parse.SEL_DIO:
        board["dio"] = {"do": n_do, "di": n_di}
        return
    if any(DIO_MISSING.match(m) for m in messages):
        board["dio"], board["zrdio_conf"] = {"device": "missing"}, conf
        comment("DIO", "the device could not be opened: none is there")
        return
    board["dio"] = {"do": n_do, "di": n_di}
    if n_di < 2 * n_do:
        comment("DIO", "fewer than two DIs per DO: the single DO test fails every channel anyway")
        return
    want, mixed = channel_outcomes(run["ports"], run["tries"])
    notes += mixed
    if all(no and nc for no, nc in want.values()):
        return
    if n_do == 0:
        faults = {f"DI{p[3:]}": "fails" for p, (no, nc) in want.items() if not no and not nc}
        notes += [(p, "the DI switching test's partial failures are not modelled")
                  for p, (no, nc) in want.items() if no != nc]
    else:
        faults, missing = dio_faults(n_do, n_di, want)
        notes += missing
    if faults:
        board["dio"]["faults"] = faults
        comment("DIO", f"channel faults chosen as the fewest that give the tallies: {faults}")
