"""Control charts of each place (station and fixture) and port: per day, the share of
boards on which the port failed, and the share on which it was intermittent (failed
some of its tries and passed others), each against the same port's share on the whole
line.

charts(conn, place=None, port=None) -> [chart]: every chart with its points and rules
alarms(conn, place=None, port=None) -> [row]: the charts out of control now: which
    rule, since when
chart_points(counts, line_rate) -> [point]: one chart's points and the rules they break

The upper limit is taken from the binomial's own upper tail, not from the normal
approximation: with a port that fails on one board in two hundred and tens of boards
a day, line rate plus three standard deviations lies below two failures and alarms
every few weeks. The tail is what a 3-sigma chart promises a place (0.27 % of its
days), shared by the place's charts (place_tail), so that a place with many ports
does not alarm more often than one with few. Only a rise is watched (a
fixture does not get better than the line): a point beyond the limit; eight in a row
above the line's rate; a trend of six rising in a row.
"""
import datetime
import functools
import math
from collections import namedtuple

from sqlalchemy import text

PLACE_TAIL = 0.0027       # a place's false alarms a day: what a 3-sigma chart promises
RUN_ABOVE = 8             # points in a row above the line's rate
TREND = 6                 # points rising in a row
RECENT = 3                # a chart is out of control when a rule broke on one of its last RECENT points
RULES = ("beyond", "run", "trend")
CHARTS = ("failed", "intermittent")

# Per place, day and port: boards tested, boards the port failed on, boards it was
# intermittent on (some tries failed, some passed), as the store keeps them up to date.
COUNTS = text("SELECT station, fixture, day, kind, port, runs AS n, failed, intermittent FROM port_days")
COUNTS_SINCE = text("SELECT station, fixture, day, kind, port, runs AS n, failed, intermittent "
                    "FROM port_days WHERE day >= :since")
# Each place's ports with the first day and the counts of each (the line's counts are their sums).
SERIES = text("SELECT station, fixture, kind, port, MIN(day), SUM(runs), SUM(failed), SUM(intermittent) "
              "FROM port_days GROUP BY station, fixture, kind, port")
ALARM_DAYS = 60           # the alarms look at the points of these last days (all, when a rule reaches further)
Count = namedtuple("Count", "station fixture day kind port n failed intermittent")  # a row of COUNTS
LIMITS_CACHED = 1 << 16   # upper limits kept: a line's days repeat the same few (n, rate, tail)


@functools.lru_cache(maxsize=LIMITS_CACHED)
def upper_limit(n, p, tail):
    """Returns the least share x/n of n boards such that more than x failures have a
    chance of at most tail at rate p (above it a point is beyond the limit)."""
    if p <= 0:
        return 0.0
    if p >= 1:
        return 1.0
    log_pmf = n * math.log1p(-p)  # P(X = 0)
    cdf, x = math.exp(log_pmf), 0
    while 1 - cdf > tail and x < n:
        log_pmf += math.log((n - x) / (x + 1)) + math.log(p) - math.log1p(-p)
        x += 1
        cdf += math.exp(log_pmf)
    return x / n


def chart_points(counts, line_rate, tail):
    """Returns the points of one chart from [(day, n, x)] in day order: day, n, x, rate,
    limit (at a chance of tail) and the rules broken at that point."""
    points = []
    for day, n, x in counts:
        rate = x / n if n else 0.0
        limit = upper_limit(n, line_rate, tail) if n else 1.0
        points.append({"day": day, "n": n, "x": x, "rate": rate, "limit": limit, "rules": []})
    above = rises = 0  # points in a row up to this one above the line's rate; rises in a row to it
    for i, pt in enumerate(points):
        above = above + 1 if pt["rate"] > line_rate else 0
        rises = rises + 1 if i and points[i - 1]["rate"] < pt["rate"] else 0
        if pt["rate"] > pt["limit"]:
            pt["rules"].append("beyond")
        if above >= RUN_ABOVE:
            pt["rules"].append("run")
        if rises >= TREND - 1:  # TREND points, each above the one before
            pt["rules"].append("trend")
    return points


def out_of_control(points):
    """Returns (rules, since day) when a rule broke on one of the last RECENT points, else None;
    since is the first broken point not followed by RECENT clean ones before the last."""
    broken = [i for i, p in enumerate(points) if p["rules"]]
    if not broken or broken[-1] < len(points) - RECENT:
        return None
    first = broken[-1]
    for i in reversed(broken[:-1]):
        if first - i > RECENT:
            break
        first = i
    rules = sorted({r for p in points[first:] for r in p["rules"]}, key=RULES.index)
    return rules, points[first]["day"]


def place_tail(charts_at_place):
    """Returns one chart's tail when a place has charts_at_place charts."""
    return PLACE_TAIL / max(1, charts_at_place)


def place_name(station, fixture):
    return f"{station}/{fixture}"


def matches(place, station, fixture):
    return place is None or place in (fixture, place_name(station, fixture))


def charts(conn, place=None, port=None, since=None):
    """Returns every chart (place, port, chart, line_rate, points, whole) matching the
    filters; since: only the points from that day ("YYYY-MM-DD"; whole is False where
    that leaves out older points), the line's rates counting every day all the same."""
    line, first_day = {}, {}
    for s, f, k, p, day, n, failed, intermittent in conn.execute(SERIES):
        total = line.get((k, p), (0, 0, 0))
        line[(k, p)] = (total[0] + n, total[1] + failed, total[2] + intermittent)
        if matches(place, s, f) and port in (None, p):
            first_day[(s, f, k, p)] = day
    rows = conn.execute(COUNTS if since is None else COUNTS_SINCE, {"since": since})
    series = {key: [] for key in first_day}
    for r in map(Count._make, rows):
        days = series.get((r.station, r.fixture, r.kind, r.port))
        if days is not None:
            days.append(r)
    per_place = {}
    for station, fixture, _, _ in series:
        per_place[(station, fixture)] = per_place.get((station, fixture), 0) + len(CHARTS)
    out = []
    for (station, fixture, kind, name), days in sorted(series.items()):
        tail = place_tail(per_place[(station, fixture)])
        days.sort(key=lambda r: r.day)
        total, failed, intermittent = line[(kind, name)]
        whole = since is None or first_day[(station, fixture, kind, name)] >= since
        for chart, x, rate in (("failed", "failed", failed / total),
                               ("intermittent", "intermittent", intermittent / total)):
            pts = chart_points([(r.day, r.n, getattr(r, x)) for r in days], rate, tail)
            out.append({"place": place_name(station, fixture), "kind": kind, "port": name,
                        "chart": chart, "line_rate": rate, "points": pts, "whole": whole})
    return out


def alarm_since(conn):
    """Returns the first day of the last ALARM_DAYS days of the store, or None (every day)."""
    newest = conn.execute(text("SELECT MAX(day) FROM port_days")).scalar()
    try:
        return str(datetime.date.fromisoformat(newest) - datetime.timedelta(days=ALARM_DAYS))
    except (TypeError, ValueError):
        return None


def alarms(conn, place=None, port=None):
    """Returns one row per chart out of control now: place, port, chart, rule, since,
    points (days since then), rate (its share since then), line_rate. Read from the last
    ALARM_DAYS days, unless a chart's rules reach before them: then from every day."""
    since, rows = alarm_since(conn), []
    for c in charts(conn, place, port, since):
        pts = c["points"]
        found = out_of_control(pts)
        first = next(i for i, p in enumerate(pts) if p["day"] == found[1]) if found else len(pts)
        if not c["whole"] and first - RECENT < RUN_ABOVE - 1:  # a rule there needs older points
            return alarms_of(charts(conn, place, port))
        rows += alarms_of([c])
    return rows


def alarms_of(charts_):
    """Returns the alarm rows (see alarms) of the given charts."""
    rows = []
    for c in charts_:
        found = out_of_control(c["points"])
        if not found:
            continue
        rules, since = found
        recent = [p for p in c["points"] if p["day"] >= since]
        n, x = sum(p["n"] for p in recent), sum(p["x"] for p in recent)
        rows.append({"place": c["place"], "port": c["port"], "chart": c["chart"],
                     "rule": ", ".join(rules), "since": since, "points": len(recent),
                     "rate": round(x / n, 4) if n else 0.0, "line_rate": round(c["line_rate"], 4)})
    return rows
