"""The read-only dashboard of the results store (Flask, served by waitress).

create_app(db_url, hosts=LOCAL_HOSTS, today=None) -> the Flask application (the
    application factory; for tests and other WSGI servers); `today` a function
    returning the day the windows end on (default the machine's date).
serve(db_url, host="127.0.0.1", port=8000, hosts=()): serves it until interrupted.

Pages (the blueprint `dashboard`): / (yield over time and the Pareto as charts drawn
here as SVG, the intermittent ports, the suspected fixtures), /station?name=,
/port?kind=&port= (the boards a port failed on), /unit?chip= (a chip's history),
/run?id= (a run's tallies and its kept log, failed lines marked). Every query is
views.py's. Every text from the store or a file goes through Jinja's escaping, and
control characters are shown as \\xNN. Every parameter is checked (400 otherwise);
only the Host names served are answered; every answer forbids other origins, framing
and type sniffing. A store that is gone or out of reach gives 503; the server never
creates one. The store-wide views (yield, Pareto, fixtures) are cached (see Cache).
"""
import collections
import datetime
import os
import re
import threading
from urllib.parse import quote

from flask import Blueprint, Flask, abort, current_app, render_template, request, url_for
from jinja2 import FileSystemBytecodeCache
from markupsafe import Markup
from sqlalchemy.engine import make_url
from sqlalchemy.exc import DBAPIError, OperationalError

from . import charts, guard, health_web, store, views

PARETO_TOP = 15       # bars of a Pareto chart
RECENT = 10           # the newest intermittent failures on the overview
WINDOW_DAYS = 30      # the yield and Pareto's days, up to today
MAX_WINDOW_DAYS = 3660  # ?days= at most this (ten years)
FIXTURE_DAYS = 7      # the days a fixture is judged on: is it at fault now?
MAX_ID = 2**31 - 1    # a run id fits the store's Integer on both databases
MAX_TEXT = 256        # a name, port, kind or chip asked for: at most this many characters
CACHE_ENTRIES = 64    # store-wide views kept at most; the least recently asked is dropped
LOCAL_HOSTS = guard.LOCAL_HOSTS
CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f]")
# A kept log's line that tells of a failure: a failed try, a failed result.
FAILED_LINE = re.compile(r"Error!|Err!|------Err |iTestSta:-|Err Get Port Info!!!|error!!!")
TALLY = re.compile(r":(?:NO |NC )?Test Succ Cnt (\d+),Error Cnt (\d+)\t")
# Sent with every answer: nothing loaded from elsewhere, no script, no framing, no sniffing.
HEADERS = guard.headers("style-src 'self'", "img-src 'self'", "form-action 'none'")

bp = Blueprint("dashboard", __name__)


def visible(value):
    """Returns a value for the page: control characters (but tab and line feed) as \\xNN."""
    if isinstance(value, Markup):
        return value
    if isinstance(value, str):
        return CONTROL.sub(lambda m: f"\\x{ord(m.group()):02x}", value)
    return "" if value is None else value


def log_lines(text):
    """Returns the kept log's lines as (text, failed) pairs: a failed try, a
    failed tally or a failed result is marked."""
    out = []
    for line in text.rstrip("\n").split("\n"):
        tally = TALLY.search(line)
        if tally:
            failed = views.tally_failed(int(tally.group(1)), int(tally.group(2)))
        else:
            failed = bool(FAILED_LINE.search(line))
        out.append((line, failed))
    return out


def window(today, days):
    """Returns the first and last day ("YYYY-MM-DD") of the `days` days up to today."""
    return (today - datetime.timedelta(days=days - 1)).isoformat(), today.isoformat()


def daily_yield(rows):
    """Returns (day, first-pass %, final %) per day from yield rows of any station and type."""
    days = {}
    for r in rows:
        d = days.setdefault(r["day"], [0, 0, 0])
        d[0] += r["units"]
        d[1] += r["first_pass"]
        d[2] += r["final_pass"]
    return [(day, round(100 * f / u, 1), round(100 * g / u, 1))
            for day, (u, f, g) in sorted(days.items()) if u]


def sqlite_path(db_url):
    """Returns the file of a SQLite URL, or None for another database or one in memory."""
    url = make_url(db_url)
    if url.get_backend_name() != "sqlite" or url.database in (None, "", ":memory:"):
        return None
    return os.path.abspath(url.database)


class StoreGone(Exception):
    """The store's file is no longer where the server opened it."""


class Cache:
    """The store-wide views' results, at most CACHE_ENTRIES of them (the least recently
    asked is dropped). A page gets a view's newest finished result at once; when the store
    has changed since (views.stamp), the view is computed again in the background for the
    pages after it. Only a view not computed before keeps its page waiting."""

    def __init__(self, engine):
        self.engine = engine
        self.lock = threading.Lock()
        self.values = collections.OrderedDict()   # key -> (store state, result)
        self.running = set()                       # keys being computed again

    def get(self, conn, key, compute):
        """Returns compute(conn) as of the store's present or a recent state."""
        stamp = views.stamp(conn)
        with self.lock:
            have = self.values.get(key)
            if have is not None:
                self.values.move_to_end(key)
            stale = have is not None and have[0] != stamp and key not in self.running
            if stale:
                self.running.add(key)
        if have is None:
            value = compute(conn)
            self.put(key, stamp, value)
            return value
        if stale:
            threading.Thread(target=self.refresh, args=(key, stamp, compute), daemon=True).start()
        return have[1]

    def put(self, key, stamp, value):
        """Keeps one result, dropping the least recently asked beyond CACHE_ENTRIES."""
        with self.lock:
            self.values[key] = (stamp, value)
            self.values.move_to_end(key)
            while len(self.values) > CACHE_ENTRIES:
                self.values.popitem(last=False)

    def refresh(self, key, stamp, compute):
        """Computes one view again on a connection of its own."""
        try:
            with self.engine.connect() as conn:
                self.put(key, stamp, compute(conn))
        except DBAPIError:
            pass  # the store went away: the pages say so themselves
        finally:
            with self.lock:
                self.running.discard(key)


class Dashboard:
    """What the pages share: the store's engine, its file (SQLite) and the cache."""

    def __init__(self, db_url, hosts, today):
        self.path = sqlite_path(db_url)
        if self.path is not None and not os.path.isfile(self.path):
            raise FileNotFoundError(f"no store at {self.path}")
        self.engine = store.open_db(db_url)
        self.inode = os.stat(self.path).st_ino if self.path else None
        self.hosts = {guard.host_name(h) for h in hosts}
        self.today = today
        self.cache = Cache(self.engine)

    def check_store(self):
        """Raises StoreGone when the store's file was removed or replaced since it was opened."""
        if self.path is None:
            return
        try:
            same = os.stat(self.path).st_ino == self.inode
        except OSError:
            same = False
        if not same:
            raise StoreGone(self.path)

    def cached(self, conn, key, compute):
        return self.cache.get(conn, key, compute)


def dashboard():
    """Returns the application's Dashboard."""
    return current_app.extensions["rigresults"]


def int_arg(name, low, high):
    """Returns an integer query argument within [low, high], or None when absent; 400 otherwise."""
    value = request.args.get(name)
    if value is None:
        return None
    if not (value.isascii() and value.isdigit() and len(value) <= len(str(high))
            and low <= int(value) <= high):
        abort(400, f"{name} must be a whole number from {low} to {high}")
    return int(value)


def text_arg(name):
    """Returns a text query argument ("" when absent); 400 when too long or holding a NUL."""
    value = request.args.get(name, "")
    if len(value) > MAX_TEXT or "\x00" in value:
        abort(400, f"{name} must be at most {MAX_TEXT} characters, without NUL")
    return value


@bp.before_app_request
def check_request():
    """Answers only the Host names served, and only while the store is there."""
    d = dashboard()
    if not guard.answers(request.host, d.hosts):
        abort(400, "this server does not serve that host name")
    d.check_store()


@bp.after_app_request
def add_headers(response):
    """Adds the security headers to every answer."""
    response.headers.update(HEADERS)
    return response


@bp.app_errorhandler(StoreGone)
def store_gone(e):
    return f"The results store {e} is gone; this server shows nothing until it is back.\n", 503, \
        {"Content-Type": "text/plain; charset=utf-8"}


@bp.app_errorhandler(OperationalError)
def store_unreachable(e):
    return "The results store cannot be read at the moment.\n", 503, \
        {"Content-Type": "text/plain; charset=utf-8"}


def render(template, conn, **values):
    """Renders a page with the stations for the navigation."""
    stations = dashboard().cached(conn, "choices", views.choices)["stations"]
    return render_template(template, nav_stations=stations, **values)


def pareto_chart(rows):
    return charts.pareto_bars([(r["port"], r["boards_failed"],
                                url_for("dashboard.port", kind=r["kind"], port=r["port"]))
                               for r in rows[:PARETO_TOP]])


def windowed(days):
    """Returns the first and last day of the `days` days up to today."""
    return window(dashboard().today(), days)


def suspects(conn):
    since, until = windowed(FIXTURE_DAYS)
    return dashboard().cached(conn, ("fixtures", since, until),
                              lambda c: views.fixture_rows(c, day_from=since, day_to=until))


def yield_and_pareto(conn, since, until, station=None):
    """Returns the cached yield and Pareto rows of the days since..until (at a station)."""
    cached = dashboard().cached
    yields = cached(conn, ("yield", since, until, station),
                    lambda c: views.yield_rows(c, day_from=since, day_to=until, station=station))
    pareto = cached(conn, ("pareto", since, until, station),
                    lambda c: views.pareto_rows(c, day_from=since, day_to=until, station=station))
    return yields, pareto


@bp.route("/")
def overview():
    days = int_arg("days", 1, MAX_WINDOW_DAYS) or WINDOW_DAYS
    with dashboard().engine.connect() as conn:
        since, until = windowed(days)
        yields, pareto = yield_and_pareto(conn, since, until)
        first, last = dashboard().cached(conn, "choices", views.choices)["days"]
        intermittent = views.recent_failures(conn, nature="intermittent", limit=RECENT)
        return render("overview.html", conn, days=days, since=since, until=until, first=first,
                      last=last, yields=yields, yield_geo=charts.yield_bars(daily_yield(yields)),
                      aborted=sum(r["aborted"] for r in yields),
                      pareto=pareto, pareto_geo=pareto_chart(pareto), fixture_days=FIXTURE_DAYS,
                      fixtures=suspects(conn), intermittent=intermittent,
                      alarms=health_web.overview_alarms(conn, dashboard().cached))


@bp.route("/station")
def station():
    name = text_arg("name")
    before = int_arg("before", 1, MAX_ID)
    with dashboard().engine.connect() as conn:
        recent = views.station_runs(conn, name, before)
        if not recent and before is None:
            abort(404)
        since, until = windowed(WINDOW_DAYS)
        yields, pareto = yield_and_pareto(conn, since, until, name)
        fixtures = [f for f in suspects(conn) if f["station"] == name]
        return render("station.html", conn, name=name, runs=recent, yields=yields, since=since,
                      until=until, days=WINDOW_DAYS, yield_geo=charts.yield_bars(daily_yield(yields)),
                      pareto=pareto, pareto_geo=pareto_chart(pareto), fixtures=fixtures,
                      fixture_days=FIXTURE_DAYS,
                      more=len(recent) == views.PAGE and recent[-1]["run_id"])


@bp.route("/port")
def port():
    kind, name = text_arg("kind"), text_arg("port")
    before = int_arg("before", 1, MAX_ID)
    with dashboard().engine.connect() as conn:
        failures = views.recent_failures(conn, kind=kind, port=name, before=before)
        return render("port.html", conn, kind=kind, name=name, failures=failures,
                      more=len(failures) == views.PAGE and failures[-1]["run_id"])


@bp.route("/unit")
def unit():
    chip = text_arg("chip")
    with dashboard().engine.connect() as conn:
        history = views.unit_runs(conn, chip)
        if not history:
            abort(404)
        return render("unit.html", conn, chip=history[0]["chip"], runs=history)


@bp.route("/run")
def run():
    run_id = int_arg("id", 1, MAX_ID)
    with dashboard().engine.connect() as conn:
        detail = views.run_detail(conn, run_id) if run_id is not None else None
        if detail is None:
            abort(404)
        text = views.run_log(conn, run_id)
        return render("run.html", conn, run=detail,
                      lines=log_lines(text) if text is not None else None)


@bp.route("/health")
def health_page():
    place, port = text_arg("place") or None, text_arg("port") or None
    with dashboard().engine.connect() as conn:
        return render("health.html", conn, **health_web.page_values(conn, dashboard().cached, place, port))


@bp.route("/run/board")
def run_board():
    run_id = int_arg("id", 1, MAX_ID)
    if run_id is None:
        abort(400, "id must be given")
    with dashboard().engine.connect() as conn:
        return health_web.board_answer(conn, run_id)


def create_app(db_url, hosts=LOCAL_HOSTS, today=None):
    """Returns the dashboard's Flask application over the store at db_url, answering the
    Host names `hosts`; raises FileNotFoundError when db_url names a SQLite file that is not there."""
    here = os.path.dirname(os.path.abspath(__file__))
    app = Flask(__name__, template_folder=os.path.join(here, "templates"),
                static_folder=os.path.join(here, "static"))
    app.jinja_env.finalize = visible
    # Compiled templates kept on disk (a folder of this user's only, checked by Jinja; keyed by
    # each template's text): a server started again does not compile them on its first request.
    try:
        app.jinja_env.bytecode_cache = FileSystemBytecodeCache()
    except (OSError, RuntimeError):
        pass  # no such folder to be had (another user's in its place): compiled on each start
    app.extensions["rigresults"] = Dashboard(db_url, hosts, today or datetime.date.today)
    app.register_blueprint(bp)
    return app


def serve(db_url, host="127.0.0.1", port=8000, hosts=()):
    """Serves the dashboard over the store at db_url on host:port until interrupted; answers
    the Host names `hosts`, the address served on and, on a local address, LOCAL_HOSTS."""
    import waitress
    names = guard.served_names(host, hosts)
    app = create_app(db_url, names)
    client = app.test_client()
    local = sorted(names)[0]
    print("rigresults: computing the views ...", flush=True)
    with app.extensions["rigresults"].engine.connect() as conn:
        stations = views.choices(conn)["stations"]
    for path in ["/"] + [f"/station?name={quote(s)}" for s in stations if len(s) <= MAX_TEXT]:
        client.get(path, headers={"Host": local})
    print(f"rigresults: the dashboard on http://{host}:{port}/ for {', '.join(sorted(names))}", flush=True)
    waitress.serve(app, host=host, port=port, threads=4)
