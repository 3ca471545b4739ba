"""A synthetic line for the control charts: what they raise on a healthy year and how
soon they see a fixture going bad.

    python3 -m rigresults_lib.health_line [--years 1] [--repeats 20]

prints the false alarms per thousand place-days of a healthy line and, for a fixture
whose RS232-1 starts failing a share of boards on a given day, the boards it tested
from that day until the alarm (mean over the repeats).

line_runs(seed, days, onset=None, share=0.0) -> run dicts as store.store_runs takes them
"""
import argparse
import datetime
import random

from . import health

STATIONS = ("ST-1", "ST-2", "ST-3")
FIXTURES = ("fixture-1", "fixture-2")
BOARDS_PER_DAY = 40        # per place
BOARDS_SPREAD = 10         # a place's boards a day vary by this much either way
PORTS = (("RS485", "RS485-1"), ("RS485", "RS485-2"), ("RS232", "RS232-1"), ("RS232", "RS232-2"))
PORT_FAIL = 0.005          # a healthy port fails on this share of boards
INTERMITTENT_SHARE = 1 / 3  # of those failures, some tries passed
TRIES = 3
BAD_PLACE = ("ST-3", "fixture-2")
BAD_PORT = "RS232-1"
FIRST_DAY = datetime.date(2025, 1, 1)
ONSET_DAY = 120            # the day the bad fixture's cable starts failing
SHARES = (0.01, 0.05, 0.20)
WATCH_DAYS = 180          # days watched after the onset
SEED = 28
CHARTS_WATCHED = health.CHARTS
TAIL = health.place_tail(len(PORTS) * len(CHARTS_WATCHED))


def board_ports(rng, bad_share):
    """Returns one board's serial tallies: each port failing at the healthy rate, the bad
    port also on bad_share of the boards."""
    rows = []
    for kind, port in PORTS:
        fail = rng.random() < PORT_FAIL or (port == BAD_PORT and rng.random() < bad_share)
        ok = TRIES
        if fail:
            ok = rng.randint(1, TRIES - 1) if rng.random() < INTERMITTENT_SHARE else 0
        rows.append({"kind": kind, "port": port, "test": "", "successes": ok, "errors": TRIES - ok,
                     "verdict": None})
    return rows


def line_days(seed, days, onset=None, share=0.0):
    """Yields (place, day index, [board ports]) of every place and day of the line."""
    rng = random.Random(seed)
    for d in range(days):
        for station in STATIONS:
            for fixture in FIXTURES:
                bad = (station, fixture) == BAD_PLACE and onset is not None and d >= onset
                n = BOARDS_PER_DAY + rng.randint(-BOARDS_SPREAD, BOARDS_SPREAD)
                yield (station, fixture), d, [board_ports(rng, share if bad else 0.0) for _ in range(n)]


def line_runs(seed, days, onset=None, share=0.0):
    """Returns the line's runs as the store takes them."""
    runs, serial = [], 0
    for (station, fixture), d, boards in line_days(seed, days, onset, share):
        day = FIRST_DAY + datetime.timedelta(days=d)
        for k, ports in enumerate(boards):
            serial += 1
            passed = all(p["errors"] == 0 for p in ports)
            runs.append({"chip": f"0x{serial:08X}", "device_type": "ZR-A7-T100",
                         "start_time": f"{day} {6 + k // 3600 % 12:02d}:{k // 60 % 60:02d}:{k % 60:02d}",
                         "version": None, "build": None, "command": None, "tries": TRIES, "kinds": 6,
                         "result_line": "iTestSta:0" if passed else "iTestSta:-1", "passed": passed,
                         "station": station, "fixture": fixture, "ports": ports})
    return runs


def counts_of(seed, days, onset=None, share=0.0):
    """Returns {(place, port, chart): [(day, n, x)]} and the line's rate per (port, chart)."""
    series, line = {}, {}
    for place, d, boards in line_days(seed, days, onset, share):
        for kind, port in PORTS:
            rows = [next(p for p in b if p["port"] == port) for b in boards]
            failed = sum(1 for p in rows if p["errors"])
            inter = sum(1 for p in rows if p["errors"] and p["successes"])
            for chart, x in (("failed", failed), ("intermittent", inter)):
                series.setdefault((place, port, chart), []).append((d, len(rows), x))
                n0, x0 = line.get((port, chart), (0, 0))
                line[(port, chart)] = (n0 + len(rows), x0 + x)
    return series, {k: x / n for k, (n, x) in line.items()}


def false_alarms(seed, days):
    """Returns (alarms, place-days, chart-days) of a healthy line: an alarm is a point that
    breaks a rule after RECENT clean ones (a new alarm, not one going on)."""
    series, line = counts_of(seed, days)
    alarms = 0
    for (place, port, chart), counts in series.items():
        points = health.chart_points(counts, line[(port, chart)], TAIL)
        for i, p in enumerate(points):
            if p["rules"] and not any(q["rules"] for q in points[max(0, i - health.RECENT):i]):
                alarms += 1
    place_days = days * len(STATIONS) * len(FIXTURES)
    return alarms, place_days, place_days * len(PORTS) * len(CHARTS_WATCHED)




def boards_to_alarm(seed, days, share):
    """Returns (boards, days) the bad place tested from the onset up to and including the day
    its bad port's charts first broke a rule; None when they never did."""
    series, line = counts_of(seed, days, ONSET_DAY, share)
    first = None
    for chart in CHARTS_WATCHED:
        counts = series[(BAD_PLACE, BAD_PORT, chart)]
        points = health.chart_points(counts, line[(BAD_PORT, chart)], TAIL)
        hit = next((i for i, p in enumerate(points) if i >= ONSET_DAY and p["rules"]), None)
        first = hit if first is None or (hit is not None and hit < first) else first
    if first is None:
        return None
    counts = series[(BAD_PLACE, BAD_PORT, "failed")]
    return sum(n for d, n, _ in counts[ONSET_DAY:first + 1]), first - ONSET_DAY + 1


def main(argv=None):
    """Prints the table of docs/performance.md; returns 0."""
    p = argparse.ArgumentParser(prog="health_line")
    p.add_argument("--years", type=int, default=1)
    p.add_argument("--repeats", type=int, default=20)
    args = p.parse_args(argv)
    days = 365 * args.years
    alarms, place_days, chart_days = false_alarms(SEED, days)
    print(f"healthy line, {days} days, {place_days} place-days, {chart_days} chart-days: "
          f"{alarms} alarms, {1000 * alarms / place_days:.2f} per 1000 place-days, "
          f"{1000 * alarms / chart_days:.2f} per 1000 chart-days")
    for share in SHARES:
        got = [boards_to_alarm(SEED + r, ONSET_DAY + WATCH_DAYS, share) for r in range(args.repeats)]
        seen = [g for g in got if g]
        mean_b = sum(b for b, _ in seen) / len(seen) if seen else float("nan")
        mean_d = sum(d for _, d in seen) / len(seen) if seen else float("nan")
        print(f"RS232-1 failing {share:.0%} of boards: alarm in {len(seen)}/{len(got)} repeats "
              f"within {WATCH_DAYS} days, after {mean_b:.0f} boards ({mean_d:.1f} days) on average")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
