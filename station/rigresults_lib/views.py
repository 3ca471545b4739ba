"""The views of the results store: plain lists of dicts, for the command line and the page.

Every function takes an open connection (`with engine.connect() as conn:`, engine
from store.open_db) and optional filters: day_from/day_to ("YYYY-MM-DD", inclusive,
the board's start day), station, device_type. Texts are as the files gave them;
whoever shows them escapes them.

yield_rows(conn, **filters) -> [{day, station, device_type, units, first_pass,
    first_pass_yield, final_pass, final_yield, retests}]: per day, station and
    device type of each unit's (chip's) first run: units first tested there, how many
    passed that first run, how many passed their last run (wherever), runs after the first.
pareto_rows(conn, by="port", **filters) -> [{kind, port, boards_failed, runs_failed,
    hard, intermittent}] (by="kind": port is ""), most boards first.
failure_rows(conn, port=None, kind=None, **filters) -> [{run_id, chip, station, fixture,
    start_time, kind, port, test, successes, errors, tries, nature, shown}]: every failed
    tally; nature "hard" (never succeeded) or "intermittent" (failed some tries),
    shown like "RS485-2 37/50" (successes/tries).
fixture_rows(conn, streak=3, **filters) -> [{station, fixture, kind, port, streak,
    boards_failed, passed_elsewhere, last_failed}]: a port failing on `streak` or more
    runs in a row at one place (station and fixture; a run that did not test the port's
    kind does not break the row) while it passed at another place; passed_elsewhere
    counts the runs at other places that tested its kind without it failing.
unit_runs(conn, chip) -> [{run_id, start_time, station, fixture, device_type, result
    ("pass", "fail" or "aborted"), result_line, exit_status, end_pattern, tries,
    failed_ports, log_path, report_path, place, operator, serial, station_version,
    program_version, retest_of}], oldest first, by chip or by a label serial; failed_ports
    like ["RS485-2 0/1", "DO-2 NO 0/3"]; a chip in lower case is found as the board writes it.
station_runs(conn, station, before=None, limit) -> a station's runs, newest first (after
    the run `before` in that order), with their failed_ports.
recent_failures(conn, kind, port, station, nature, before, limit) -> the newest failed
    tallies (as failure_rows), newest run first, after the run `before` in that order.
run_detail(conn, run_id) -> the run's fields and "ports": [{kind, port, test, successes,
    errors, verdict, failed}], or None.
run_log(conn, run_id) -> the kept log's text as the store holds it (None: not kept).
choices(conn) -> {"stations": [...], "device_types": [...], "days": [first, last]}.
stamp(conn) -> the store's state: changes whenever a run is stored.
Every list is read from the summaries the store keeps up to date as runs are stored
(store.yield_days, store.failed, store.places, store.streaks) or through an index, so no
view walks every run: fixture_rows reads the streaks summary (over some days, each
streak cut to them) and walks the runs of the days asked for only for one device type.
"""
import bisect
from collections import Counter

from sqlalchemy import and_, case, func, or_, select

from . import parse, store
from .store import failed, places, ports, run_meta, runs, yield_days

PAGE = 50   # rows of a list page
KIND_BIT = parse.KIND_BIT
KIND_ORDER = ("RS485", "RS232", "DO", "DI")   # the summary's order of the kinds
TEST_ORDER = ("", "NO", "NC")                 # and of a DO or DI channel's tests
tally_failed = parse.tally_failed  # the pass rule of a tally, for the pages and the bench


def tally_order(p):
    """Returns a tally's place in the summary's order: serial ports, then DO NO, DO NC,
    DI NO, DI NC, each by its number."""
    kind = KIND_ORDER.index(p["kind"]) if p["kind"] in KIND_ORDER else len(KIND_ORDER)
    test = TEST_ORDER.index(p["test"]) if p["test"] in TEST_ORDER else len(TEST_ORDER)
    number = p["port"].rpartition("-")[2]
    return kind, test, int(number) if number.isascii() and number.isdigit() else 0, p["port"]


def run_filters(c=runs.c, day_from=None, day_to=None, station=None, device_type=None):
    """Returns the WHERE terms for the common filters on the columns c (of runs or a summary)."""
    terms = []
    if day_from:
        terms.append(c.day >= day_from)
    if day_to:
        terms.append(c.day <= day_to)
    if station:
        terms.append(c.station == station)
    if device_type:
        terms.append(c.device_type == device_type)
    return terms


def ratio(part, whole):
    """Returns part/whole rounded to 4 places (0.0 for no whole)."""
    return round(part / whole, 4) if whole else 0.0


def yield_rows(conn, **filters):
    """Returns the yield per day, station and device type (see the module's text)."""
    y = yield_days.c
    q = (select(yield_days).where(or_(y.units > 0, y.aborted > 0), *run_filters(y, **filters))
         .order_by(y.day, y.station, y.device_type))
    return [{"day": r.day, "station": r.station, "device_type": r.device_type, "units": r.units,
             "first_pass": r.first_pass, "first_pass_yield": ratio(r.first_pass, r.units),
             "final_pass": r.final_pass, "final_yield": ratio(r.final_pass, r.units),
             "retests": r.retests, "aborted": r.aborted} for r in conn.execute(q)]


def failed_tallies(**filters):
    """Returns a select of every failed tally with its run's chip, place and time."""
    f = failed.c
    return select(f.run_id, f.chip, f.station, f.fixture, f.start_time, f.kind, f.port, f.test,
                  f.successes, f.errors).where(*run_filters(f, **filters))


def pareto_rows(conn, by="port", **filters):
    """Returns per port (or per kind) the boards and runs it failed on, most boards first."""
    f = failed.c
    keys = [f.kind, f.port] if by == "port" else [f.kind]
    boards = func.count(func.distinct(f.chip))
    q = (select(*keys, boards.label("boards_failed"),
                func.count(func.distinct(f.run_id)).label("runs_failed"),
                func.count(func.distinct(case((f.successes == 0, f.chip)))).label("hard"),
                func.count(func.distinct(case((f.successes > 0, f.chip)))).label("intermittent"))
         .where(*run_filters(f, **filters)).group_by(*keys).order_by(boards.desc(), *keys))
    return [{"kind": r.kind, "port": r.port if by == "port" else "",
             "boards_failed": r.boards_failed, "runs_failed": r.runs_failed,
             "hard": r.hard, "intermittent": r.intermittent} for r in conn.execute(q)]


def shown(port, test, successes, errors):
    """Returns a tally as the operator reads it: "RS485-2 37/50", "DO-2 NO 0/3"."""
    return f"{port}{' ' + test if test else ''} {successes}/{successes + errors}"


def failure_fields(r):
    """Returns a failed tally as the views show it."""
    return dict(r._mapping, tries=r.successes + r.errors,
                nature="hard" if r.successes == 0 else "intermittent",
                shown=shown(r.port, r.test, r.successes, r.errors))


def failure_rows(conn, port=None, kind=None, **filters):
    """Returns every failed tally, newest first, as hard or intermittent."""
    q = failed_tallies(**filters)
    if port is not None:
        q = q.where(failed.c.port == port)
    if kind is not None:
        q = q.where(failed.c.kind == kind)
    return [failure_fields(r) for r in conn.execute(q.order_by(failed.c.start_time.desc(),
                                                              failed.c.run_id.desc()))]


def recent_failures(conn, kind=None, port=None, station=None, nature=None, before=None, limit=PAGE):
    """Returns the failed tallies, newest run first, after the run `before` in that order;
    nature "hard" or "intermittent" narrows them."""
    q = failed_tallies(station=station)
    if kind is not None:
        q = q.where(failed.c.kind == kind)
    if port is not None:
        q = q.where(failed.c.port == port)
    if nature == "hard":
        q = q.where(failed.c.successes == 0)
    elif nature == "intermittent":
        q = q.where(failed.c.successes > 0)
    q = q.where(*older_than(conn, failed.c.start_time, failed.c.run_id, before))
    order = (failed.c.start_time.desc(), failed.c.run_id.desc())
    return [failure_fields(r) for r in conn.execute(q.order_by(*order).limit(limit))]


def older_than(conn, time_col, id_col, before):
    """Returns the WHERE terms of a list's next page, newest first: the rows after the run
    `before` in the order (start time, id) descending (none for the first page)."""
    if before is None:
        return []
    t = conn.execute(select(runs.c.start_time).where(runs.c.id == before)).scalar()
    if t is None:
        return [id_col < before]
    return [or_(time_col < t, and_(time_col == t, id_col < before))]


def place_streaks(conn, **filters):
    """Walks every place's runs in time order once; returns (longest streaks
    {(station, fixture, kind, port): (length, boards, last failed)}, runs per place
    and kind tested, runs per place, kind and port failed, the places)."""
    failing = {}
    q = select(failed.c.run_id, failed.c.kind, failed.c.port).where(*run_filters(failed.c, **filters))
    for run_id, kind, port in conn.execute(q):
        failing.setdefault(run_id, set()).add((kind, port))
    # Read by day and sorted here: sorted by the database, the place index would walk every run.
    q = (select(runs.c.station, runs.c.fixture, runs.c.start_time, runs.c.id, runs.c.chip, runs.c.kinds)
         .where(*run_filters(**filters)))
    best, tested, fails, place, current = {}, Counter(), Counter(), None, {}
    for station, fixture, start_time, run_id, chip, kinds in sorted(map(tuple, conn.execute(q))):
        if (station, fixture) != place:
            place, current = (station, fixture), {}
        kinds = kinds or 0
        tested[place + (kinds,)] += 1
        now = failing.get(run_id, ())
        for key in [k for k in current if k not in now and kinds & KIND_BIT.get(k[0], 0)]:
            del current[key]  # the port passed here: its streak ends
        for key in now:
            row = current.setdefault(key, [0, set(), None])
            row[0] += 1
            row[1].add(chip)
            row[2] = start_time
            fails[place + key] += 1
            if row[0] > best.get(place + key, (0,))[0]:
                best[place + key] = (row[0], len(row[1]), row[2])
    per_kind = Counter()
    for (station, fixture, kinds), n in tested.items():
        for kind, bit in KIND_BIT.items():
            per_kind[(station, fixture, kind)] += n if kinds & bit else 0
    return best, per_kind, fails, {key[:2] for key in per_kind}


LAST_SECOND = " 23:59:59"  # appended to a day: the last start time that day can hold
AFTER = ("\uffff", 0)   # window_streaks' key of the streak going on after the days: after every run


def window_streaks(conn, day_from=None, day_to=None, station=None):
    """Reads place_streaks()'s answer for the days day_from..day_to from the streaks summary
    and the failed tallies of those days: a streak's failed runs are all its runs, so the
    days' part of a streak is its failed runs in them, and days in a row cut no streak in
    two. Read are the streaks that end in the days; the failed runs after the last of them
    lie in the one streak of their port that goes on after the days. Runs tested per place
    and kind are counted from the days' runs."""
    # Both ends given (an open end: the store's first or last day), so that the days' index is
    # read: with one end SQLite would rather walk a place index over every run.
    first, last = conn.execute(select(select(func.min(runs.c.day)).scalar_subquery(),
                                      select(func.max(runs.c.day)).scalar_subquery())).one()
    days = {"day_from": day_from or first, "day_to": day_to or last, "station": station}
    members = {}  # (station, fixture, kind, port) -> {(start time, run id): chip}
    q = (select(failed.c.station, failed.c.fixture, failed.c.kind, failed.c.port, failed.c.start_time,
                failed.c.run_id, failed.c.chip).where(*run_filters(failed.c, **days)))
    for station_, fixture, kind, port, start_time, run_id, chip in conn.execute(q):
        members.setdefault((station_, fixture, kind, port), {})[(start_time, run_id)] = chip
    s = store.streaks.c
    spans = {}  # (station, fixture, kind, port) -> [(first, last)] of the streaks ending in the days
    ends = [s.last_time >= day_from] if day_from else []
    if day_to:  # a start time "YYYY-MM-DD HH:MM:SS" (a real time) of day_to or before
        ends.append(s.last_time <= day_to + LAST_SECOND)
    for station_, fixture in sorted({key[:2] for key in members}):
        q = select(s.kind, s.port, s.first_time, s.first_id, s.last_time, s.last_id).where(
            s.station == station_, s.fixture == fixture, *ends)
        for kind, port, first_time, first_id, last_time, last_id in conn.execute(q):
            spans.setdefault((station_, fixture, kind, port), []).append(((first_time, first_id),
                                                                        (last_time, last_id)))
    best, fails = {}, Counter()
    for key, failed_runs in members.items():
        fails[key] = len(failed_runs)
        starts = sorted(spans.get(key, []))
        groups = {}  # the streak each failed run lies in, by its first run
        for run in sorted(failed_runs):
            at = bisect.bisect_right(starts, (run, (chr(0x10FFFF), 0))) - 1
            if at >= 0 and run <= starts[at][1]:
                groups.setdefault(starts[at][0], []).append(run)
            else:  # after the streaks that end in the days (else a run the summary lacks: on its own)
                groups.setdefault(AFTER if not starts or run > starts[-1][1] else run, []).append(run)
        for first in sorted(groups):
            found = groups[first]
            if len(found) > best.get(key, (0,))[0]:
                best[key] = (len(found), len({failed_runs[r] for r in found}), found[-1][0])
    tested = Counter()
    q = (select(runs.c.station, runs.c.fixture, runs.c.kinds, func.count())  # by day: a station's
         .where(*run_filters(day_from=days["day_from"], day_to=days["day_to"]))  # index would read all its runs
         .group_by(runs.c.station, runs.c.fixture, runs.c.kinds))
    for station_, fixture, kinds, n in conn.execute(q):
        if station and station_ != station:
            continue
        for kind, bit in KIND_BIT.items():
            tested[(station_, fixture, kind)] += n if (kinds or 0) & bit else 0
    return best, tested, fails, {key[:2] for key in tested}


def summary_streaks(conn, streak, station=None):
    """Reads place_streaks()'s answer for all days from the streaks summary: the streaks of
    streak runs or more (the first of the longest of each port at each place), runs per
    place and kind tested and per place and port failed, the places."""
    s, k, f = store.streaks.c, store.place_kinds.c, store.place_fails.c
    where = (lambda c: [c.station == station]) if station else (lambda c: [])
    best = {}
    q = (select(s.station, s.fixture, s.kind, s.port, s.length, s.boards, s.last_time)
         .where(s.length >= streak, *where(s)).order_by(s.first_time, s.first_id))
    for r in conn.execute(q):
        key = (r.station, r.fixture, r.kind, r.port)
        if r.length > best.get(key, (0,))[0]:
            best[key] = (r.length, r.boards, r.last_time)
    tested = Counter({(r.station, r.fixture, r.kind): r.runs
                      for r in conn.execute(select(store.place_kinds).where(*where(k)))})
    fails = Counter({(r.station, r.fixture, r.kind, r.port): r.runs
                     for r in conn.execute(select(store.place_fails).where(*where(f)))})
    placed = conn.execute(select(places.c.station, places.c.fixture).distinct().where(*where(places.c)))
    return best, tested, fails, {tuple(r) for r in placed}


def fixture_rows(conn, streak=3, walk=False, **filters):
    """Returns the ports that look like their place's fault (see the module's text): from
    the streaks summary (over some days: each streak cut to them), for one device type by a
    walk of its runs (walk: by the walk in any case, the summary's reference)."""
    if walk or filters.get("device_type"):
        best, tested, fails, places_ = place_streaks(conn, **filters)
    elif filters.get("day_from") or filters.get("day_to"):
        best, tested, fails, places_ = window_streaks(conn, filters.get("day_from"), filters.get("day_to"),
                                                      filters.get("station"))
    else:
        best, tested, fails, places_ = summary_streaks(conn, streak, filters.get("station"))
    out = []
    for (station, fixture, kind, port), (length, boards, last) in best.items():
        if length < streak:
            continue
        elsewhere = sum(tested[p + (kind,)] - fails[p + (kind, port)]
                        for p in places_ if p != (station, fixture))
        if elsewhere > 0:
            out.append({"station": station, "fixture": fixture, "kind": kind, "port": port,
                        "streak": length, "boards_failed": boards,
                        "passed_elsewhere": elsewhere, "last_failed": last})
    return sorted(out, key=lambda x: (-x["streak"], x["station"], x["fixture"], x["port"]))


def result_of(r):
    """Returns a run's result: "pass", "fail" or "aborted" (no result line)."""
    if r.aborted:
        return "aborted"
    return "pass" if r.passed else "fail"


def run_fields(r):
    """Returns a runs row as the views show it."""
    return {"run_id": r.id, "chip": r.chip, "start_time": r.start_time, "station": r.station,
            "fixture": r.fixture, "device_type": r.device_type,
            "result": result_of(r), "aborted": r.aborted, "log_kept": r.log_kept,
            "result_line": r.result_line,
            "exit_status": r.exit_status, "end_pattern": r.end_pattern, "tries": r.tries,
            "kinds": r.kinds, "version": r.version, "build": r.build, "command": r.command,
            "log_path": r.log_path, "report_path": r.report_path}


def with_failed_ports(conn, rows):
    """Returns run_fields rows, each with its failed tallies (failed_ports) in the summary's order."""
    failed_of = {}
    if rows:
        q = select(ports).where(ports.c.run_id.in_([r["run_id"] for r in rows]), ports.c.failed == 1)
        for p in sorted(conn.execute(q), key=lambda p: (p.run_id, tally_order(p._mapping))):
            failed_of.setdefault(p.run_id, []).append(shown(p.port, p.test, p.successes, p.errors))
    return [dict(r, failed_ports=failed_of.get(r["run_id"], [])) for r in rows]


def chip_spellings(chip):
    """Returns the spellings a chip given by a person may be stored in: as given, and as the
    board writes a hexadecimal chip number ("0x" and upper-case digits)."""
    spellings = {chip}
    if chip[:2].lower() == "0x" and chip[2:].isascii() and chip[2:].isalnum():
        spellings.add("0x" + chip[2:].upper())
    return sorted(spellings)


# A run's meta from a station's panel (None for runs imported from files).
META = (run_meta.c.place, run_meta.c.operator, run_meta.c.serial, run_meta.c.station_version,
        run_meta.c.program_version, run_meta.c.retest_of)


def meta_fields(r):
    """Returns the meta columns of a runs row joined with run_meta."""
    return {c.name: r._mapping[c] for c in META}


def unit_runs(conn, chip):
    """Returns every run of one unit, found by its chip or by a label serial one of its
    runs was stored with, oldest first, with its failed tallies and meta."""
    # The chips first, so that the runs are found by the chip's index (an OR with a
    # subquery makes PostgreSQL read every run).
    labelled = conn.execute(select(runs.c.chip).join(run_meta, run_meta.c.run_id == runs.c.id)
                            .where(run_meta.c.serial == chip)).scalars()
    q = (select(runs, *META).outerjoin(run_meta, run_meta.c.run_id == runs.c.id)
         .where(runs.c.chip.in_(sorted(set(chip_spellings(chip)) | set(labelled))))
         .order_by(runs.c.start_time, runs.c.id))
    return with_failed_ports(conn, [dict(run_fields(r), **meta_fields(r)) for r in conn.execute(q)])


def station_runs(conn, station, before=None, limit=PAGE):
    """Returns a station's runs, newest first, after the run `before` in that order."""
    q = select(runs).where(runs.c.station == station,
                           *older_than(conn, runs.c.start_time, runs.c.id, before))
    order = (runs.c.start_time.desc(), runs.c.id.desc())
    rows = [run_fields(r) for r in conn.execute(q.order_by(*order).limit(limit))]
    return with_failed_ports(conn, rows)


def run_detail(conn, run_id):
    """Returns one run with all its tallies (in the summary's order) and its meta (None
    where it has none), or None."""
    r = conn.execute(select(runs, *META).outerjoin(run_meta, run_meta.c.run_id == runs.c.id)
                     .where(runs.c.id == run_id)).first()
    if r is None:
        return None
    tallies = conn.execute(select(ports).where(ports.c.run_id == run_id)).all()
    rows = [{"kind": p.kind, "port": p.port, "test": p.test, "successes": p.successes,
             "errors": p.errors, "verdict": p.verdict, "failed": p.failed,
             "shown": shown(p.port, p.test, p.successes, p.errors)} for p in tallies]
    return dict(run_fields(r), ports=sorted(rows, key=tally_order), **meta_fields(r))


def run_log(conn, run_id):
    """Returns the run's kept log as the store holds it, or None when it was not kept."""
    return store.log_text(conn, run_id)


def choices(conn):
    """Returns the stations, device types and the first and last day in the store."""
    stations = conn.execute(select(places.c.station).distinct().order_by(places.c.station)).scalars()
    types = conn.execute(select(places.c.device_type).distinct().order_by(places.c.device_type)).scalars()
    days = [conn.execute(select(edge(runs.c.day))).scalar() for edge in (func.min, func.max)]
    return {"stations": list(stations), "device_types": list(types), "days": days}


def stamp(conn):
    """Returns the store's state: the newest run's id (None for an empty store)."""
    return conn.execute(select(func.max(runs.c.id))).scalar()
