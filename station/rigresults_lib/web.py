"""The read-only dashboard of the results store (Flask, served by waitress).

serve(db_url, host="127.0.0.1", port=8000): serves it until interrupted.
make_app(db_url) -> the Flask application (for tests and other WSGI servers).

Pages: / (yield over time and the Pareto as charts drawn here as SVG, the
intermittent ports, the suspected fixtures), /station?name=, /port?kind=&port=
(the boards a port failed on), /unit?chip= (a chip's history), /run?id= (a run's
tallies and its kept log, failed lines marked). Every text from the store or a
file goes through Jinja's escaping, and control characters are shown as \\xNN.
Lists are limited and paged by id, so each page reads only indexed rows. The
store-wide views (yield, Pareto, fixtures) are computed when the server starts
and again in the background whenever the store has changed (see Cache), so no
page waits for them.
"""
import datetime
import os
import re
import threading
from urllib.parse import quote

from flask import Flask, abort, render_template, request, url_for
from markupsafe import Markup
from sqlalchemy import func, select

from . import charts, health_web, store, views
from .store import ports, runs

PAGE = 50             # rows per page of a list
PARETO_TOP = 15       # bars of a Pareto chart
RECENT = 10           # the newest intermittent failures on the overview
WINDOW_DAYS = 30      # the yield and Pareto's days, up to the store's newest day
FIXTURE_DAYS = 7      # the days a fixture is judged on: is it at fault now?
CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f]")
# A kept log's line that tells of a failure: a failed try, a failed result.
FAILED_LINE = re.compile(r"Error!|Err!|------Err |iTestSta:-|Err Get Port Info!!!|error!!!")
KIND_ORDER = {"RS485": 0, "RS232": 1, "DO": 2, "DI": 3}
TEST_ORDER = {"": 0, "NO": 1, "NC": 2}
TALLY = re.compile(r":(?:NO |NC )?Test Succ Cnt (\d+),Error Cnt (\d+)\t")


def visible(value):
    """Returns a value for the page: control characters (but tab and line feed) as \\xNN."""
    if isinstance(value, Markup):
        return value
    if isinstance(value, str):
        return CONTROL.sub(lambda m: f"\\x{ord(m.group()):02x}", value)
    return "" if value is None else value


def log_lines(text):
    """Returns the kept log's lines as (text, failed) pairs: a failed try, a
    failed tally (an error, or no success) or a failed result is marked."""
    out = []
    for line in text.rstrip("\n").split("\n"):
        tally = TALLY.search(line)
        if tally:
            failed = tally.group(2) != "0" or tally.group(1) == "0"
        else:
            failed = bool(FAILED_LINE.search(line))
        out.append((line, failed))
    return out


def tally_order(p):
    """Returns a tally's place in the summary's order: serial ports, then DO NO, DO NC,
    DI NO, DI NC, each by its number."""
    number = p["port"].rpartition("-")[2]
    return (KIND_ORDER.get(p["kind"], len(KIND_ORDER)), TEST_ORDER.get(p["test"], 0),
            int(number) if number.isascii() and number.isdigit() else 0, p["port"])


def window(last_day, days):
    """Returns the first day of a window of `days` days that ends on last_day."""
    if not last_day:
        return None
    return (datetime.date.fromisoformat(last_day) - datetime.timedelta(days=days - 1)).isoformat()


def daily_yield(rows):
    """Returns (day, first-pass %, final %) per day from yield rows of any station and type."""
    days = {}
    for r in rows:
        d = days.setdefault(r["day"], [0, 0, 0])
        d[0] += r["units"]
        d[1] += r["first_pass"]
        d[2] += r["final_pass"]
    return [(day, round(100 * f / u, 1), round(100 * g / u, 1)) for day, (u, f, g) in sorted(days.items())]


def recent_failures(conn, kind=None, port=None, station=None, nature=None, before=None, limit=PAGE):
    """Returns the newest failed tallies (the store's failure rows), newest run first,
    of runs with ids below `before`; nature "hard" or "intermittent" narrows them."""
    q = views.failed_tallies(station=station)
    if kind is not None:
        q = q.where(ports.c.kind == kind)
    if port is not None:
        q = q.where(ports.c.port == port)
    if nature == "hard":
        q = q.where(ports.c.successes == 0)
    elif nature == "intermittent":
        q = q.where(ports.c.successes > 0)
    if before is not None:
        q = q.where(ports.c.run_id < before)
    out = []
    for r in conn.execute(q.order_by(ports.c.run_id.desc()).limit(limit)):
        out.append(dict(r._mapping, nature="hard" if r.successes == 0 else "intermittent",
                        shown=views.shown(r.port, r.test, r.successes, r.errors)))
    return out


def station_runs(conn, station, before=None, limit=PAGE):
    """Returns a station's newest runs (ids below `before`), newest first."""
    # Walks the runs back by id and keeps the station's: its "station || ''"
    # keeps the place index (station, fixture, time) out, which would sort all
    # of the station's runs first.
    q = select(runs).where(runs.c.station + "" == station)
    if before is not None:
        q = q.where(runs.c.id < before)
    rows = [views.run_fields(r) for r in conn.execute(q.order_by(runs.c.id.desc()).limit(limit))]
    failed = {}
    if rows:
        tallies = select(ports).where(ports.c.run_id.in_([r["run_id"] for r in rows]), ports.c.failed == 1)
        for p in sorted(conn.execute(tallies), key=lambda p: tally_order(p._mapping)):
            failed.setdefault(p.run_id, []).append(views.shown(p.port, p.test, p.successes, p.errors))
    return [dict(r, failed_ports=failed.get(r["run_id"], [])) for r in rows]


class Cache:
    """The store-wide views' results. A page gets a view's newest finished result
    at once; when the store has changed since (its newest run's id), the view is
    computed again in the background for the pages after it. Only a view never
    computed before keeps its first page waiting."""

    def __init__(self, engine):
        self.engine = engine
        self.lock = threading.Lock()
        self.values = {}        # key -> (store state, result)
        self.running = set()    # keys being computed again

    def get(self, conn, key, compute):
        """Returns compute(conn) as of the store's present or a recent state."""
        stamp = conn.execute(select(func.max(runs.c.id))).scalar()
        with self.lock:
            have = self.values.get(key)
            stale = have is not None and have[0] != stamp and key not in self.running
            if stale:
                self.running.add(key)
        if have is None:
            value = compute(conn)
            with self.lock:
                self.values[key] = (stamp, value)
            return value
        if stale:
            threading.Thread(target=self.refresh, args=(key, stamp, compute), daemon=True).start()
        return have[1]

    def refresh(self, key, stamp, compute):
        """Computes one view again on a connection of its own."""
        try:
            with self.engine.connect() as conn:
                value = compute(conn)
            with self.lock:
                self.values[key] = (stamp, value)
        finally:
            with self.lock:
                self.running.discard(key)


def page_arg(name):
    """Returns an integer query argument, or None when absent; 400 when it is no number."""
    value = request.args.get(name)
    if value is None:
        return None
    if not (value.isascii() and value.isdigit()):
        abort(400)
    return int(value)


def make_app(db_url):
    """Returns the dashboard's Flask application over the store at db_url."""
    here = os.path.dirname(os.path.abspath(__file__))
    app = Flask(__name__, template_folder=os.path.join(here, "templates"),
                static_folder=os.path.join(here, "static"))
    app.jinja_env.finalize = visible
    engine = store.open_db(db_url)
    cache = Cache(engine)

    def cached(conn, key, compute):
        return cache.get(conn, key, compute)

    def stations():
        with engine.connect() as conn:
            return cached(conn, "choices", views.choices)["stations"]

    app.config["stations"] = stations

    def render(template, conn, **values):
        stations = cached(conn, "choices", views.choices)["stations"]
        return render_template(template, nav_stations=stations, **values)

    def pareto_chart(rows):
        return charts.pareto_bars([(r["port"], r["boards_failed"], url_for("port", kind=r["kind"], port=r["port"]))
                                   for r in rows[:PARETO_TOP]])

    def windowed(conn, days):
        """Returns the first day of the last `days` days up to the newest run, and that day."""
        last = cached(conn, "choices", views.choices)["days"][1]
        return window(last, days), last

    def suspects(conn):
        since, _ = windowed(conn, FIXTURE_DAYS)
        return cached(conn, ("fixtures", since), lambda c: views.fixture_rows(c, day_from=since))

    @app.route("/")
    def overview():
        days = page_arg("days") or WINDOW_DAYS
        with engine.connect() as conn:
            since, last = windowed(conn, days)
            yields = cached(conn, ("yield", since), lambda c: views.yield_rows(c, day_from=since))
            pareto = cached(conn, ("pareto", since), lambda c: views.pareto_rows(c, day_from=since))
            intermittent = recent_failures(conn, nature="intermittent", limit=RECENT)
            return render("overview.html", conn, days=days, since=since, last=last, yields=yields,
                          yield_geo=charts.yield_bars(daily_yield(yields)),
                          pareto=pareto, pareto_geo=pareto_chart(pareto), fixture_days=FIXTURE_DAYS,
                          fixtures=suspects(conn), intermittent=intermittent,
                          alarms=health_web.overview_alarms(conn, cached))

    @app.route("/station")
    def station():
        name = request.args.get("name", "")
        before = page_arg("before")
        with engine.connect() as conn:
            recent = station_runs(conn, name, before)
            if not recent and before is None:
                abort(404)
            since, last = windowed(conn, WINDOW_DAYS)
            yields = cached(conn, ("yield", since, name),
                            lambda c: views.yield_rows(c, day_from=since, station=name))
            pareto = cached(conn, ("pareto", since, name),
                            lambda c: views.pareto_rows(c, day_from=since, station=name))
            fixtures = [f for f in suspects(conn) if f["station"] == name]
            return render("station.html", conn, name=name, runs=recent, yields=yields, since=since,
                          days=WINDOW_DAYS, last=last, yield_geo=charts.yield_bars(daily_yield(yields)),
                          pareto=pareto, pareto_geo=pareto_chart(pareto), fixtures=fixtures,
                          fixture_days=FIXTURE_DAYS, more=len(recent) == PAGE and recent[-1]["run_id"])

    @app.route("/port")
    def port():
        kind, name = request.args.get("kind", ""), request.args.get("port", "")
        before = page_arg("before")
        with engine.connect() as conn:
            failures = recent_failures(conn, kind=kind, port=name, before=before)
            return render("port.html", conn, kind=kind, name=name, failures=failures,
                          more=len(failures) == PAGE and failures[-1]["run_id"])

    @app.route("/unit")
    def unit():
        chip = request.args.get("chip", "")
        with engine.connect() as conn:
            history = views.unit_runs(conn, chip)
            if not history:
                abort(404)
            return render("unit.html", conn, chip=chip, runs=history)

    @app.route("/run")
    def run():
        run_id = page_arg("id")
        with engine.connect() as conn:
            detail = views.run_detail(conn, run_id) if run_id is not None else None
            if detail is None:
                abort(404)
            detail["ports"].sort(key=tally_order)
            text = views.run_log(conn, run_id)
            return render("run.html", conn, run=detail,
                          lines=log_lines(text) if text is not None else None)

    health_web.register(app, engine, render, cached)
    return app


def serve(db_url, host="127.0.0.1", port=8000):
    """Serves the dashboard over the store at db_url on host:port until interrupted."""
    import waitress
    app = make_app(db_url)
    client = app.test_client()
    print("rigresults: computing the views ...", flush=True)
    for path in ["/"] + [f"/station?name={quote(s)}" for s in app.config["stations"]()]:
        client.get(path)
    print(f"rigresults: the dashboard on http://{host}:{port}/", flush=True)
    waitress.serve(app, host=host, port=port, threads=4)
