"""Reads one run from the self-test's kept trace log and its report.

parse_kept_log(data, latest_day=None) -> run dict, or raises Refused(reason); a log cut
    before its result line (program killed, board reset) is an aborted run
content_hash(data) -> the hash of a log's content as read here (line ends normalised)
apply_report(run, data) -> fills each port's report verdict (None: the report's head
    names another run), or raises Refused
tally_failed(successes, errors) -> whether a tally failed its port (the one pass rule)

A run dict holds: chip, device_type, start_time ("YYYY-MM-DD HH:MM:SS"), version,
build, command (the banner's program line), tries, kinds (the iPortSelect bits:
1 DIO, 2 RS232, 4 RS485; None after an inventory failure), result_line
("iTestSta:0", "iTestSta:-1", "Err Get Port Info!!!", or "" when aborted), passed
(bool), aborted (bool: no result line; tries and kinds as far as logged), and
ports: a list of {kind, port, test ("" for a serial port, "NO"/"NC" for a DO or
DI channel), successes, errors, verdict (the report's 1/0, None without report)}.
Every text is decoded leniently; nothing of it is ever used as markup or SQL. Every
number has ASCII digits only and is bounded by what the program can write, every name
by the program's buffers, every date is a real one not after latest_day (default tomorrow).
"""
import datetime
import hashlib
import re

ASTERISKS = "*" * 42
BANNER_KEYS = ("hostname:", "DateTime:", "Build:", "Version:", "iMx6ull:")
MAX_DIGITS = 9          # the longest number read (a line counter of a long log)
LINE = re.compile(r"([0-9]{1,9})=\[RtLog\]\[([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2})\] "
                  r"(.*)\Z", re.S)
LOCATION = re.compile(r"\S+ \S+ line=[0-9]{1,9}\Z")
# A whole line with its location (LINE, then located(), in one match: the location holds no
# tab, so the tab matched is the message's last); any other line takes the two steps.
LOCATED_LINE = re.compile(LINE.pattern[:-len(r"(.*)\Z")] + r"(.*)\t\S+ \S+ line=[0-9]{1,9}\Z", re.S)
DATE_TIME = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\Z")
TALLY_TEXT = "Test Succ Cnt"   # in every summary line (TALLY), looked for before the pattern
# A summary line after its port's name: it holds no colon, so the name ends at the last one.
TALLY_TAIL = re.compile(r":(?:(NO|NC) )?" + TALLY_TEXT + r" ([0-9]+),Error Cnt ([0-9]+)\Z")
TALLY = re.compile(r"(.*)" + TALLY_TAIL.pattern, re.S)
PARAM = re.compile(r"@:(nTestCnt|iPortSelect|RS485 Cnt|RS232 Cnt|DO Cnt|DI Cnt):(-?[0-9]+)\Z")
# A message that logs the text a device sent (a modem's answer, a port's received text): the
# text may hold line breaks, so its entry goes on over more lines up to its location.
DEVICE_TEXT = re.compile(r"\S+ read: |,Read \S+ (?:OK! |Error! )?(?:iread:-?[0-9]+ )?msg: ")
MAX_TEXT_LINES = 256    # a device's text is at most the 256 bytes of the largest receive buffer
RESULT_TEXT = "iTestSta:"      # a result line's start (RESULT), looked for before the pattern
RESULT = re.compile(RESULT_TEXT + r"(-?[0-9]{1,9})\Z")
MAX_NAME = 255          # the program's name buffers hold 255 bytes and a terminating zero
MAX_PORTS = 65535       # the inventory counts each kind in 16 bits
LATE_DAYS = 1           # a start time may be this many days after the import's day (time zones)
INVENTORY_FAILED = "Err Get Port Info!!!"
SEL_DIO, SEL_RS232, SEL_RS485 = 1, 2, 4
# The kind's bit in a run's kinds (the program's iPortSelect).
KIND_BIT = {"RS485": SEL_RS485, "RS232": SEL_RS232, "DO": SEL_DIO, "DI": SEL_DIO}
MAX_TRIES = 50
HEAD_PIECES = 5  # the report's head: up to "logDate":[ (report_pieces)


class Refused(Exception):
    """A file that is not a run of the self-test; str() is the reason."""


class NoBanner(Refused):
    """A trace log without the banner that starts a run."""


def number(text, what):
    """Returns a logged number's value; raises Refused when it has more than MAX_DIGITS digits."""
    if len(text.lstrip("-")) > MAX_DIGITS:
        raise Refused(f"{what} has more than {MAX_DIGITS} digits")
    return int(text)


def content_hash(data):
    """Returns the SHA-256 (hex) of a log's bytes as the parser reads them: carriage returns
    before a line feed dropped, so a copy read back over a console is the same run."""
    return hashlib.sha256(re.sub(rb"\r+\n", b"\n", data) if b"\r" in data else data).hexdigest()


def checked_time(when, latest_day):
    """Returns a start time that is a real date and time not after latest_day; raises Refused."""
    try:  # "YYYY-MM-DD HH:MM:SS" in ASCII digits (checked first: int() takes any digits)
        moment = datetime.datetime(int(when[:4]), int(when[5:7]), int(when[8:10]), int(when[11:13]),
                                   int(when[14:16]), int(when[17:19])) if DATE_TIME.match(when) else None
    except ValueError:
        moment = None
    if moment is None:
        raise Refused(f"the banner's DateTime is no date and time: {when[:40]!r}")
    latest = latest_day or datetime.date.today() + datetime.timedelta(days=LATE_DAYS)
    if moment.date() > latest:
        raise Refused(f"the banner's DateTime {when} is after {latest}")
    return when


def decode(data):
    """Returns bytes as text: invalid UTF-8 and NUL bytes become U+FFFD."""
    return data.decode("utf-8", "replace").replace("\x00", "\ufffd")


def located(message):
    """Returns the message without its tab and source location, or None when it ends in none."""
    text, tab, where = message.rpartition("\t")
    return text if tab and LOCATION.match(where) else None


def messages_of(data):
    """Yields the trace log's messages in order, one entry at a time (a last entry without line
    feed, cut while written, left out); an entry holding a device's text (DEVICE_TEXT) goes on
    over up to MAX_TEXT_LINES more lines, up to the one ending in its location; raises Refused
    for a foreign log or lines missing."""
    if not data:
        raise Refused("empty file")
    text, start, i, n = decode(data), 0, 0, 0  # at most twice the bytes: U+FFFD takes two
    find, whole_line = text.find, LOCATED_LINE.match
    while True:
        end = find("\n", start)
        if end < 0:
            if i == 0:
                raise Refused("truncated: no whole line")
            return
        first, first_end = n, end  # a line without carriage return is matched in place, not copied
        m = None if text.endswith("\r", start, end) else whole_line(text, start, end)
        message = m.group(3) if m else None
        if m is None:
            line = text[start:end].rstrip("\r")
            m = whole_line(line)
            message = m.group(3) if m else None
        if m is None:
            m = LINE.match(line)
            message = located(m.group(3)) if m else None
        device_text = m and message is None and DEVICE_TEXT.search(m.group(3))
        while device_text and message is None and n - first < MAX_TEXT_LINES:
            more = text.find("\n", end + 1)
            if more < 0 and i == 0:
                raise Refused("truncated: no whole line")
            if more < 0:
                return  # cut while written
            part = text[end + 1:more].rstrip("\r")
            if LINE.match(part):
                break  # the next entry: this one never got its location
            end, n = more, n + 1
            if located(part) is not None:  # read once whole, when its end is found
                m = LINE.match(text[start:end].rstrip("\r"))
                message = located(m.group(3))
        if message is None and n - first >= MAX_TEXT_LINES:
            raise Refused(f"line {first + 1}: a device's text goes on over more than "
                          f"{MAX_TEXT_LINES} lines")
        if message is None:
            what = "not a trace log" if i == 0 else f"line {first + 1} is no trace log line"
            raise Refused(f"{what}: {text[start:first_end][:60]!r}")
        counter = int(m.group(1))
        if i == 0 and counter != 0:
            raise NoBanner(f"no banner: the first line carries the counter {m.group(1)}, "
                           "the rest of another log")
        if counter != i:
            raise Refused(f"line {first + 1} carries the counter {m.group(1)}, not {i}: "
                          "lines are missing or doubled")
        yield message
        start, i, n = end + 1, i + 1, n + 1


def head_of(messages):
    """Returns the messages up to the end of the first banner (all of them without one)."""
    head, at = [], None
    for message in messages:
        head.append(message)
        if at is None and len(head) >= 3 and head[-2] == ASTERISKS and message.startswith(BANNER_KEYS[0]):
            at = len(head) - 2
        if at is not None and len(head) >= at + len(BANNER_KEYS) + 2:
            break
    return head


def wanted(message):
    """Returns whether a message after the banner is one a run is read from (parameters,
    summary lines, result lines), so that only those are held."""
    return message.startswith(("@:", RESULT_TEXT)) or message == INVENTORY_FAILED or \
        TALLY_TEXT in message


def banner_of(messages, latest_day=None):
    """Returns the banner's values and the index after it; raises Refused without one."""
    at = next((i for i in range(1, len(messages) - 1) if messages[i] == ASTERISKS and
               messages[i + 1].startswith(BANNER_KEYS[0])), None)
    if at is None:
        raise NoBanner("no banner (hostname: after a line of asterisks)")
    block = messages[at + 1:at + 1 + len(BANNER_KEYS) + 1]
    if len(block) <= len(BANNER_KEYS) or block[-1] != ASTERISKS or \
            any(not line.startswith(key) for line, key in zip(block, BANNER_KEYS)):
        raise Refused("the banner is incomplete")
    host, when, build, version, chip = (line[len(key):] for line, key in zip(block, BANNER_KEYS))
    if not chip:
        raise Refused("the banner names no chip (no iMx6ull value)")
    for what, name in (("chip", chip), ("host name", host), ("build", build), ("version", version)):
        if len(name) > MAX_NAME:
            raise Refused(f"the banner's {what} is longer than {MAX_NAME} characters")
    return {"command": messages[at - 1][:MAX_NAME * 4], "device_type": host,
            "start_time": checked_time(when, latest_day),
            "build": build, "version": version, "chip": chip}, at + len(block) + 1


def params_of(messages):
    """Returns the run parameters logged after the inventory (name -> int)."""
    found = {}
    for message in messages:
        m = PARAM.match(message) if message.startswith("@:") else None  # PARAM's own start first
        if m:
            found.setdefault(m.group(1), number(m.group(2), m.group(1)))
    return found


def tally_count(params):
    """Returns the number of summary lines the inventory needs (counted before any list is made)."""
    sel = params["iPortSelect"]
    return ((params["RS485 Cnt"] if sel & SEL_RS485 else 0) + (params["RS232 Cnt"] if sel & SEL_RS232 else 0)
            + (2 * (params["DO Cnt"] + params["DI Cnt"]) if sel & SEL_DIO else 0))


def expected_tallies(params):
    """Returns [(kind, port or None, test)] in the summary's order; None: any RS232 name."""
    sel, rows = params["iPortSelect"], []
    if sel & SEL_RS485:
        rows += [("RS485", f"RS485-{i}", "") for i in range(1, params["RS485 Cnt"] + 1)]
    if sel & SEL_RS232:
        rows += [("RS232", None, "")] * params["RS232 Cnt"]
    if sel & SEL_DIO:
        for kind, n in (("DO", params["DO Cnt"]), ("DI", params["DI Cnt"])):
            for test in ("NO", "NC"):
                rows += [(kind, f"{kind}-{i}", test) for i in range(1, n + 1)]
    return rows


def tally_of(message):
    """Returns (message, port name, NO/NC or None, successes, errors) of a summary line, as
    TALLY reads it, or None."""
    at = message.rfind(":")
    m = TALLY_TAIL.match(message, at) if at >= 0 else None
    return (message, message[:at]) + m.groups() if m else None


def tallies_of(messages, params, aborted=False):
    """Returns the port rows from the summary lines; raises Refused when they do not fit
    (an aborted run keeps those it logged)."""
    found = [t for t in (tally_of(x) for x in messages if TALLY_TEXT in x) if t]
    need = tally_count(params)
    if len(found) > need or (len(found) < need and not aborted):
        raise Refused(f"{len(found)} summary lines where the inventory needs {need}")
    rows, tries = [], params["nTestCnt"]
    for m, (kind, port, test) in zip(found, expected_tallies(params)):
        message, name, nc, successes, errors = m
        if (port is not None and name != port) or (nc or "") != test:
            raise Refused(f"summary line {message[:60]!r} where {port} {test} belongs")
        if len(name) > MAX_NAME:
            raise Refused(f"a port name is longer than {MAX_NAME} characters")
        if len(successes) > MAX_DIGITS or len(errors) > MAX_DIGITS:
            raise Refused(f"a tally has more than {MAX_DIGITS} digits")
        successes, errors = int(successes), int(errors)
        if successes + errors > tries:
            raise Refused(f"summary line {message[:60]!r} counts more than {tries} tries")
        rows.append({"kind": kind, "port": name, "test": test,
                     "successes": successes, "errors": errors, "verdict": None})
    return rows


PARAMS = ("nTestCnt", "iPortSelect", "RS485 Cnt", "RS232 Cnt", "DO Cnt", "DI Cnt")


def checked_params(params):
    """Raises Refused when a run parameter is out of what the program writes."""
    if not 1 <= params["nTestCnt"] <= MAX_TRIES or not 1 <= params["iPortSelect"] <= 7 or \
            min(params.values()) < 0 or max(params.values()) > MAX_PORTS:
        raise Refused("run parameters out of range")


def parse_kept_log(data, latest_day=None):
    """Returns the run a kept trace log holds; raises Refused naming why it is none."""
    messages = messages_of(data)
    head = head_of(messages)
    if not head:
        raise Refused("empty file")
    run, after = banner_of(head, latest_day)
    rest = head[after:] + [m for m in messages if wanted(m)]
    results = [m for m in rest if (m.startswith(RESULT_TEXT) and RESULT.match(m)) or m == INVENTORY_FAILED]
    aborted = not results
    run.update(result_line=results[-1] if results else "", aborted=aborted, passed=False)
    if results and results[-1] == INVENTORY_FAILED:
        run.update(tries=None, kinds=None, ports=[])
        return run
    params = params_of(rest)
    missing = set(PARAMS) - set(params)
    if missing and aborted:  # ended before its inventory was logged in full
        run.update(tries=params.get("nTestCnt"), kinds=params.get("iPortSelect"), ports=[])
        if run["tries"] is not None and not 1 <= run["tries"] <= MAX_TRIES:
            raise Refused("run parameters out of range")
        if run["kinds"] is not None and not 1 <= run["kinds"] <= 7:
            raise Refused("run parameters out of range")
        return run
    if missing:
        raise Refused(f"no run parameter {sorted(missing)[0]}")
    checked_params(params)
    run.update(tries=params["nTestCnt"], kinds=params["iPortSelect"],
               passed=results[-1:] == ["iTestSta:0"], ports=tallies_of(rest, params, aborted))
    return run


ESCAPED = re.compile(r'["\\\x00-\x1f]')   # the characters json_escaped escapes


def json_escaped(text):
    """Returns text as this program writes it into a JSON string (quote, backslash and
    control characters escaped); a report may also hold them unescaped (the
    format does not escape), and both forms are read."""
    if not ESCAPED.search(text):
        return text
    return "".join("\\" + c if c in '"\\' else f"\\u{ord(c):04x}" if c < " " else c for c in text)


def tally_failed(successes, errors):
    """Returns whether a tally failed its port: an error, or not one success."""
    return errors != 0 or successes < 1


def port_verdicts(run):
    """Returns [(kind, port, verdict)] per reported port, from the tallies."""
    out = {}
    for r in run["ports"]:
        ok = 0 if tally_failed(r["successes"], r["errors"]) else 1
        key = (r["kind"], r["port"])
        out[key] = min(out.get(key, 1), ok)
    return [(kind, port, v) for (kind, port), v in out.items()]


def report_pieces(run, verdicts=None):
    """Returns the report as expected from the log (verdicts: its port_verdicts, computed
    when None): texts, ("name", x) and ("verdict", key)."""
    pieces = ['{"rigchkEx":"testData","DevType":"', ("name", run["device_type"]), '","DateTime":"',
              ("name", run["start_time"]), '" ,"logDate":[']  # HEAD_PIECES
    groups = (("RS485", ['{"name":"RS485","info":['], SEL_RS485),
              ("RS232", ['{ "name":"RS232", "info":[ '], SEL_RS232),
              ("DO", ['{ "name":"DO", "info":[ '], SEL_DIO),
              ("DI", ['{ "name":"DI", "info":[ '], SEL_DIO))
    verdicts = port_verdicts(run) if verdicts is None else verdicts
    for kind, opening, bit in groups:
        if not (run["kinds"] or 0) & bit:
            continue
        pieces += opening
        entries = [(k, p) for k, p, _ in verdicts if k == kind]
        for i, key in enumerate(entries):
            pieces += ['{"name":"', ("name", key[1]), '","port":', ("verdict", key), "}"]
            pieces += [","] if i + 1 < len(entries) else []
        pieces += ["]},"]
    if isinstance(pieces[-1], str) and pieces[-1].endswith(","):
        pieces[-1] = pieces[-1][:-1] + " "
    return pieces + ["]}"]


def apply_report(run, data):
    """Sets each port's report verdict and returns the run; returns None when the report's
    head names another run; raises Refused when the report is cut, malformed or disagrees
    with the log's tallies."""
    text, at, read = decode(data).rstrip("\r\n"), 0, {}
    verdicts = port_verdicts(run)
    pieces = report_pieces(run, verdicts)
    expected = {(kind, port): verdict for kind, port, verdict in verdicts}
    if text == "".join([p if isinstance(p, str) else json_escaped(p[1]) if p[0] == "name" else
                        str(expected[p[1]]) for p in pieces]):  # the report as this program writes it
        for r in run["ports"]:
            r["verdict"] = expected[(r["kind"], r["port"])]
        return run
    for i, piece in enumerate(pieces):
        if isinstance(piece, str):
            ok = text.startswith(piece, at)
            at += len(piece) if ok else 0
        elif piece[0] == "name":
            form = next((f for f in (json_escaped(piece[1]), piece[1]) if text.startswith(f, at)), None)
            ok = form is not None
            at += len(form) if ok else 0
        else:
            ok = at < len(text) and text[at] in "01"
            read[piece[1]] = int(text[at]) if ok else None
            at += 1
        if not ok and i < HEAD_PIECES:
            expected = piece if isinstance(piece, str) else json_escaped(piece[1])
            if expected.startswith(text[at:]):
                raise Refused("the report is cut short")
            return None
        if not ok:
            raise Refused(f"the report does not fit its log's ports at its character {at + 1}")
    if at != len(text):
        raise Refused("the report goes on after its end")
    for kind, port, verdict in verdicts:
        if read[(kind, port)] != verdict:
            raise Refused(f"the report says {port} {'passed' if read[(kind, port)] else 'failed'}, "
                          f"its log's tallies say otherwise")
    for r in run["ports"]:
        r["verdict"] = read[(r["kind"], r["port"])]
    return run
