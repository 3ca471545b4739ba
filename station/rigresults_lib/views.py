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
unit_runs(conn, chip) -> [{run_id, start_time, station, fixture, device_type, result,
    result_line, exit_status, end_pattern, tries, failed_ports, log_path, report_path, place,
    operator, serial, station_version, program_version, retest_of}], oldest first, by chip
    or by a label serial; failed_ports like ["RS485-2 0/1", "DO-2 NO 0/3"].
run_detail(conn, run_id) -> the run's fields and "ports": [{kind, port, test, successes,
    errors, verdict, failed}], or None.
run_log(conn, run_id) -> the kept log's text (None when its file is gone).
choices(conn) -> {"stations": [...], "device_types": [...], "days": [first, last]}.
"""
from collections import Counter

from sqlalchemy import case, func, or_, select

from .store import ports, run_meta, runs, units


def run_filters(c=runs.c, day_from=None, day_to=None, station=None, device_type=None):
    """Returns the WHERE terms for the common filters on the columns c of runs."""
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
    f, last = runs.alias("f"), runs.alias("l")
    q = (select(f.c.day, f.c.station, f.c.device_type,
                func.count().label("units"), func.sum(f.c.passed).label("first_pass"),
                func.sum(last.c.passed).label("final_pass"),
                func.sum(units.c.runs - 1).label("retests"))
         .select_from(units.join(f, f.c.id == units.c.first_id)
                      .join(last, last.c.id == units.c.last_id))
         .where(*run_filters(f.c, **filters))
         .group_by(f.c.day, f.c.station, f.c.device_type)
         .order_by(f.c.day, f.c.station, f.c.device_type))
    out = []
    for r in conn.execute(q):
        out.append({"day": r.day, "station": r.station, "device_type": r.device_type,
                    "units": r.units, "first_pass": int(r.first_pass),
                    "first_pass_yield": ratio(r.first_pass, r.units), "final_pass": int(r.final_pass),
                    "final_yield": ratio(r.final_pass, r.units), "retests": int(r.retests)})
    return out


def failed_tallies(**filters):
    """Returns a select of every failed tally with its run's chip, place and time."""
    q = (select(runs.c.id.label("run_id"), runs.c.chip, runs.c.station, runs.c.fixture,
                runs.c.start_time, ports.c.kind, ports.c.port, ports.c.test,
                ports.c.successes, ports.c.errors)
         .select_from(ports.join(runs, ports.c.run_id == runs.c.id))
         .where(ports.c.failed == 1, *run_filters(**filters)))
    return q


def pareto_rows(conn, by="port", **filters):
    """Returns per port (or per kind) the boards and runs it failed on, most boards first."""
    f = failed_tallies(**filters).subquery()
    keys = [f.c.kind, f.c.port] if by == "port" else [f.c.kind]
    hard = func.count(func.distinct(case((f.c.successes == 0, f.c.chip))))
    intermittent = func.count(func.distinct(case((f.c.successes > 0, f.c.chip))))
    q = (select(*keys, func.count(func.distinct(f.c.chip)).label("boards_failed"),
                func.count(func.distinct(f.c.run_id)).label("runs_failed"),
                hard.label("hard"), intermittent.label("intermittent"))
         .group_by(*keys).order_by(func.count(func.distinct(f.c.chip)).desc(), *keys))
    return [{"kind": r.kind, "port": r.port if by == "port" else "",
             "boards_failed": r.boards_failed, "runs_failed": r.runs_failed,
             "hard": r.hard, "intermittent": r.intermittent} for r in conn.execute(q)]


def shown(port, test, successes, errors):
    """Returns a tally as the operator reads it: "RS485-2 37/50", "DO-2 NO 0/3"."""
    return f"{port}{' ' + test if test else ''} {successes}/{successes + errors}"


def failure_rows(conn, port=None, kind=None, **filters):
    """Returns every failed tally, newest first, as hard or intermittent."""
    q = failed_tallies(**filters)
    if port is not None:
        q = q.where(ports.c.port == port)
    if kind is not None:
        q = q.where(ports.c.kind == kind)
    out = []
    for r in conn.execute(q.order_by(runs.c.start_time.desc(), runs.c.id.desc())):
        row = dict(r._mapping)
        row.update(tries=r.successes + r.errors,
                   nature="hard" if r.successes == 0 else "intermittent",
                   shown=shown(r.port, r.test, r.successes, r.errors))
        out.append(row)
    return out


KIND_BIT = {"RS485": 4, "RS232": 2, "DO": 1, "DI": 1}  # the kind's bit in a run's kinds


def place_streaks(conn, **filters):
    """Walks every place's runs in time order once; returns (longest streaks
    {(station, fixture, kind, port): (length, boards, last failed)}, runs per place
    and kind tested, runs per place, kind and port failed)."""
    failed = {}
    q = (select(ports.c.run_id, ports.c.kind, ports.c.port)
         .select_from(ports.join(runs, ports.c.run_id == runs.c.id))
         .where(ports.c.failed == 1, *run_filters(**filters)))
    for r in conn.execute(q):
        failed.setdefault(r.run_id, set()).add((r.kind, r.port))
    best, tested, fails, place, current = {}, Counter(), Counter(), None, {}
    q = (select(runs.c.id, runs.c.station, runs.c.fixture, runs.c.chip, runs.c.start_time, runs.c.kinds)
         .where(*run_filters(**filters))
         .order_by(runs.c.station, runs.c.fixture, runs.c.start_time, runs.c.id))
    for r in conn.execute(q):
        if (r.station, r.fixture) != place:
            place, current = (r.station, r.fixture), {}
        kinds = r.kinds or 0
        tested[place + (kinds,)] += 1
        now = failed.get(r.id, ())
        for key in [k for k in current if k not in now and kinds & KIND_BIT[k[0]]]:
            del current[key]  # the port passed here: its streak ends
        for key in now:
            row = current.setdefault(key, [0, set(), None])
            row[0] += 1
            row[1].add(r.chip)
            row[2] = r.start_time
            fails[place + key] += 1
            if row[0] > best.get(place + key, (0,))[0]:
                best[place + key] = (row[0], len(row[1]), row[2])
    per_kind = Counter()
    for (station, fixture, kinds), n in tested.items():
        for kind, bit in KIND_BIT.items():
            per_kind[(station, fixture, kind)] += n if kinds & bit else 0
    return best, per_kind, fails


def fixture_rows(conn, streak=3, **filters):
    """Returns the ports that look like their place's fault (see the module's text)."""
    best, tested, fails = place_streaks(conn, **filters)
    places = {key[:2] for key in tested}
    out = []
    for (station, fixture, kind, port), (length, boards, last) in best.items():
        if length < streak:
            continue
        elsewhere = sum(tested[p + (kind,)] - fails[p + (kind, port)]
                        for p in places if p != (station, fixture))
        if elsewhere > 0:
            out.append({"station": station, "fixture": fixture, "kind": kind, "port": port,
                        "streak": length, "boards_failed": boards,
                        "passed_elsewhere": elsewhere, "last_failed": last})
    return sorted(out, key=lambda x: (-x["streak"], x["station"], x["fixture"], x["port"]))


def run_fields(r):
    """Returns a runs row as the views show it."""
    return {"run_id": r.id, "chip": r.chip, "start_time": r.start_time, "station": r.station,
            "fixture": r.fixture, "device_type": r.device_type,
            "result": "pass" if r.passed else "fail", "result_line": r.result_line,
            "exit_status": r.exit_status, "end_pattern": r.end_pattern, "tries": r.tries,
            "kinds": r.kinds, "version": r.version, "build": r.build, "command": r.command,
            "log_path": r.log_path, "report_path": r.report_path}


# A run's meta from a station's panel (None for runs imported from files).
META = (run_meta.c.place, run_meta.c.operator, run_meta.c.serial, run_meta.c.station_version,
        run_meta.c.program_version, run_meta.c.retest_of)


def unit_runs(conn, chip):
    """Returns every run of one unit, found by its chip or by a label serial one of its
    runs was stored with, oldest first, with its failed tallies and meta."""
    labelled = select(runs.c.chip).join(run_meta, run_meta.c.run_id == runs.c.id).where(run_meta.c.serial == chip)
    rows = conn.execute(select(runs, *META).outerjoin(run_meta, run_meta.c.run_id == runs.c.id)
                        .where(or_(runs.c.chip == chip, runs.c.chip.in_(labelled)))
                        .order_by(runs.c.start_time, runs.c.id)).all()
    failed = {}
    if rows:
        q = (select(ports).where(ports.c.run_id.in_([r.id for r in rows]), ports.c.failed == 1)
             .order_by(ports.c.run_id, ports.c.kind, ports.c.port, ports.c.test))
        for p in conn.execute(q):
            failed.setdefault(p.run_id, []).append(shown(p.port, p.test, p.successes, p.errors))
    return [dict(run_fields(r), failed_ports=failed.get(r.id, []), **{c.name: r._mapping[c] for c in META})
            for r in rows]


def run_detail(conn, run_id):
    """Returns one run with all its tallies and its meta (None where it has none), or None."""
    r = conn.execute(select(runs, *META).outerjoin(run_meta, run_meta.c.run_id == runs.c.id)
                     .where(runs.c.id == run_id)).first()
    if r is None:
        return None
    tallies = conn.execute(select(ports).where(ports.c.run_id == run_id)).all()
    order = {"RS485": 0, "RS232": 1, "DO": 2, "DI": 3}
    rows = [{"kind": p.kind, "port": p.port, "test": p.test, "successes": p.successes,
             "errors": p.errors, "verdict": p.verdict, "failed": p.failed,
             "shown": shown(p.port, p.test, p.successes, p.errors)} for p in tallies]
    rows.sort(key=lambda p: (order.get(p["kind"], 9), p["test"], p["port"]))
    return dict(run_fields(r), ports=rows, **{c.name: r._mapping[c] for c in META})


def run_log(conn, run_id):
    """Returns the run's kept log as text, or None when it is not at its stored path."""
    path = conn.execute(select(runs.c.log_path).where(runs.c.id == run_id)).scalar()
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except (OSError, TypeError):
        return None


def choices(conn):
    """Returns the stations, device types and the first and last day in the store."""
    stations = conn.execute(select(runs.c.station).distinct().order_by(runs.c.station)).scalars()
    types = conn.execute(select(runs.c.device_type).distinct().order_by(runs.c.device_type)).scalars()
    days = conn.execute(select(func.min(runs.c.day), func.max(runs.c.day))).first()
    return {"stations": list(stations), "device_types": list(types), "days": list(days)}
