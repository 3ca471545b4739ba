"""rigresults: the results store's command line (see main's usage text)."""
import argparse
import csv
import datetime
import json
import os
import socket
import sys

from sqlalchemy.engine import make_url
from sqlalchemy.exc import ArgumentError, OperationalError

from . import health, importer, parse, records, replay, store, sync, views

FORMATS = ("table", "csv", "json")
DEFAULT_PORT = 8021
STREAK = 3
STORE_FAILED = 2  # exit status when the store cannot be opened or reached
MAX_REFUSED_STATUS = 125  # an import's or sync's exit status counts the runs refused up to this
NOT_FOUND = records.NOT_FOUND  # exit status of a view of an empty store or of a chip without runs
PIPE_CLOSED = 141  # exit status when the output's reader went away, as for SIGPIPE
MAX_TCP_PORT = 65535
# The columns of each view's table and CSV (JSON carries every field).
COLUMNS = {
    "yield": ["day", "station", "device_type", "units", "first_pass_yield", "final_yield", "retests",
              "aborted"],
    "pareto": ["kind", "port", "boards_failed", "runs_failed", "hard", "intermittent"],
    "failures": ["start_time", "station", "fixture", "chip", "shown", "nature"],
    "fixtures": ["station", "fixture", "port", "streak", "boards_failed", "passed_elsewhere"],
    "health": ["place", "port", "chart", "rule", "since", "points", "rate", "line_rate"],
    "unit": ["start_time", "station", "fixture", "result", "failed_ports", "exit_status", "operator", "serial",
             "log_path"],
}


def printable(value):
    """Returns a value as one line of plain text: control characters shown escaped."""
    if isinstance(value, list):
        value = ", ".join(map(str, value))
    text = "" if value is None else str(value)
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def emit(rows, columns, fmt, out=sys.stdout):
    """Writes rows as a table, CSV or JSON (a list of objects)."""
    if fmt == "json":
        json.dump(rows, out, indent=1, ensure_ascii=False)
        out.write("\n")
    elif fmt == "csv":
        w = csv.writer(out)
        w.writerow(columns)
        for r in rows:
            w.writerow([printable(r[c]) for c in columns])
    else:
        cells = [columns] + [[printable(r[c]) for c in columns] for r in rows]
        widths = [max(len(row[i]) for row in cells) for i in range(len(columns))]
        for row in cells:
            out.write("  ".join(v.ljust(w) for v, w in zip(row, widths)).rstrip() + "\n")


def cmd_import(args, engine):
    """Imports the runs under args.paths; returns the number of files refused (at most
    MAX_REFUSED_STATUS)."""
    aborted = []
    new, already, refused = importer.import_paths(engine, args.paths, args.station,
                                                  progress=not args.quiet, aborted=aborted)
    for path, reason in refused:
        print(f"rigresults: refused {printable(path)}: {printable(reason)}", file=sys.stderr)
    print(f"rigresults: {new} runs stored, {already} already stored, {len(refused)} refused; "
          f"{len(aborted)} of the runs read aborted (no result line)")
    return min(len(refused), MAX_REFUSED_STATUS)


def filters(args):
    """Returns the views' filters given on the command line."""
    return {"day_from": args.day_from, "day_to": args.day_to, "station": args.station,
            "device_type": args.device_type}


def cmd_view(args, engine):
    """Prints one view; returns 0, or NOT_FOUND (said on stderr) for an empty store or a
    chip without runs."""
    with engine.connect() as conn:
        if views.stamp(conn) is None:
            print(f"rigresults: the store {printable(store_name(args))} holds no runs", file=sys.stderr)
            return NOT_FOUND
        if args.cmd == "yield":
            rows = views.yield_rows(conn, **filters(args))
        elif args.cmd == "pareto":
            rows = views.pareto_rows(conn, by=args.by, **filters(args))
        elif args.cmd == "failures":
            rows = views.failure_rows(conn, port=args.port, kind=args.kind, **filters(args))
            rows = [r for r in rows if args.nature in (None, r["nature"])]
        elif args.cmd == "fixtures":
            rows = views.fixture_rows(conn, streak=args.streak, **filters(args))
        else:
            rows = views.unit_runs(conn, args.chip)
            if not rows:
                print(f"rigresults: no run of the chip {printable(args.chip)} is stored", file=sys.stderr)
                return NOT_FOUND
    emit(rows, COLUMNS[args.cmd], args.format)
    return 0


def cmd_serve(args, engine):
    """Serves the dashboard until interrupted; returns 0."""
    from . import web
    engine.dispose()
    web.serve(store_name(args), args.host, args.port, args.allow_host)
    return 0


def cmd_sync(args, engine):
    """Forwards every run of this store to args.to; returns the number of runs left behind
    (capped), or STORE_FAILED (said on stderr) when args.to names a SQLite file in a folder
    that is not there."""
    refusal = unusable(args.to, create=True)
    if refusal:
        print(f"rigresults: {printable(refusal)}", file=sys.stderr)
        return STORE_FAILED
    target = store.open_db(args.to)
    refused = []
    new, already = sync.forward(engine, target, refused)
    for run_id, reason in refused:
        print(f"rigresults: run {run_id} not forwarded: {reason}", file=sys.stderr)
    print(f"rigresults: {new} runs forwarded, {already} already there, {len(refused)} not forwarded")
    return min(len(refused), MAX_REFUSED_STATUS)


def day(text):
    """Returns a day given on the command line ("YYYY-MM-DD"), or raises ValueError."""
    if datetime.datetime.strptime(text, "%Y-%m-%d").strftime("%Y-%m-%d") != text:
        raise ValueError(text)
    return text


def tcp_port(text):
    """Returns a TCP port number given on the command line, or raises ValueError."""
    if not 1 <= int(text) <= MAX_TCP_PORT:
        raise ValueError(text)
    return int(text)


def cmd_replay(args, engine):
    """Writes the board file that replays a stored run; returns 1 when there is none."""
    try:
        with engine.connect() as conn:
            board, notes = replay.replay_run(conn, args.run)
    except parse.Refused as e:
        print(f"rigresults: cannot replay {printable(args.run)}: {printable(str(e))}", file=sys.stderr)
        return 1
    text = json.dumps(board, indent=1, ensure_ascii=False) + "\n"
    if args.out:
        try:
            with open(args.out, "w") as f:
                f.write(text)
        except OSError as e:
            print(f"rigresults: cannot write {printable(args.out)}: {e.strerror}", file=sys.stderr)
            return 1
    else:
        sys.stdout.write(text)
    for port, why in notes:
        print(f"rigresults: {printable(port)} not reproduced exactly: {printable(why)}", file=sys.stderr)
    return 0


def cmd_health(args, engine):
    """Prints what is out of control at each place and port; returns 0."""
    with engine.connect() as conn:
        rows = health.alarms(conn, place=args.place, port=args.port)
    emit(rows, COLUMNS["health"], args.format, sys.stdout)
    return 0


def parser():
    """Returns the command line's parser; --db is taken before or after the subcommand."""
    db = argparse.ArgumentParser(add_help=False)
    db.add_argument("--db", default=argparse.SUPPRESS,
                    help=f"SQLAlchemy URL of the store (default ${store.ENV_DB}, "
                         f"else sqlite:///~/{store.DEFAULT_DB[2:]})")
    p = argparse.ArgumentParser(prog="rigresults", description="The self-test's results store.",
                                parents=[db])
    sub = p.add_subparsers(dest="cmd", required=True)

    def command(name, what):
        return sub.add_parser(name, help=what, parents=[db])

    imp = command("import", "store the runs of result folders, run folders, kept logs")
    imp.add_argument("paths", nargs="+")
    imp.add_argument("--station", default=socket.gethostname(),
                     help="the station that ran them (default: this machine's name)")
    imp.add_argument("--quiet", action="store_true", help="no progress bar")
    for name, what in (("yield", "first-pass and final yield per day, station, device type"),
                       ("pareto", "ports by the number of boards they failed on"),
                       ("failures", "every failed tally: hard or intermittent"),
                       ("fixtures", "ports failing in a row at one place while passing elsewhere"),
                       ("unit", "every run of one unit, by chip or by label serial")):
        v = command(name, what)
        v.add_argument("--format", choices=FORMATS, default="table")
        if name == "unit":
            v.add_argument("chip", help="the chip identity or a label serial")
            continue
        v.add_argument("--from", dest="day_from", metavar="DAY", type=day)
        v.add_argument("--to", dest="day_to", metavar="DAY", type=day)
        v.add_argument("--station")
        v.add_argument("--device-type")
        if name == "pareto":
            v.add_argument("--by", choices=("port", "kind"), default="port")
        if name == "failures":
            v.add_argument("--port")
            v.add_argument("--kind")
            v.add_argument("--nature", choices=("hard", "intermittent"))
        if name == "fixtures":
            v.add_argument("--streak", type=lambda t: max(1, int(t)), default=STREAK,
                           help=f"boards in a row that make a place suspect (default {STREAK})")
    srv = command("serve", "the read-only dashboard")
    srv.add_argument("--host", default="127.0.0.1", help="the address to listen on")
    srv.add_argument("--port", type=tcp_port, default=DEFAULT_PORT)
    srv.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                     help="a Host name the dashboard answers besides the address's own (repeatable)")
    rep = command("replay", "a board file for the simulated fixture that replays a run")
    rep.add_argument("run", metavar="RUN|CHIP", help="a run's id, or a chip (its last run)")
    rep.add_argument("--out", metavar="BOARD.json", help="write it here (default: standard output)")
    hea = command("health", "places and ports out of statistical control")
    hea.add_argument("--place", metavar="P", help="only this place (station/fixture or fixture)")
    hea.add_argument("--port", metavar="P")
    hea.add_argument("--format", choices=FORMATS, default="table")
    syn = command("sync", "forward this store's runs to another (no duplicates)")
    syn.add_argument("--to", required=True, metavar="URL")
    records.add_parsers(command)
    return p


def store_name(args):
    """Returns the store's URL as the command line names it."""
    return getattr(args, "db", None) or store.default_url()


def unusable(url, create):
    """Returns why the store at url cannot be used (None when it can): a SQLite file whose
    folder is not there, or (unless create) a SQLite file that is not there. Only the
    embedded store's folder is ever created."""
    try:
        path = make_url(url).database if make_url(url).get_backend_name() == "sqlite" else None
    except ArgumentError as e:
        return f"the store cannot be used: {e}"
    if path in (None, "", ":memory:") or url == store.embedded_url():
        return None
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        return f"the store's folder {folder} is not there"
    if not create and not os.path.isfile(path):
        return f"no store at {path}"
    return None


COMMANDS = {"import": cmd_import, "serve": cmd_serve, "sync": cmd_sync,
            "show": records.cmd_show, "export": records.cmd_export,
            "replay": cmd_replay, "health": cmd_health}  # others: cmd_view
CREATES = ("import",)  # the subcommands that may start a new store


def main(argv=None):
    """Runs one subcommand; returns its exit status."""
    args = parser().parse_args(argv)
    try:
        refusal = unusable(store_name(args), create=args.cmd in CREATES)
        if refusal:
            print(f"rigresults: {printable(refusal)}", file=sys.stderr)
            return STORE_FAILED
        engine = store.open_db(store_name(args))
        try:
            status = COMMANDS.get(args.cmd, cmd_view)(args, engine)
            sys.stdout.flush()
            return status
        finally:
            engine.dispose()
    except (ArgumentError, OperationalError) as e:
        print(f"rigresults: the store cannot be used: {printable(str(e).splitlines()[0])}",
              file=sys.stderr)
        return STORE_FAILED
    except BrokenPipeError:  # the reader went away (| head): end quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return PIPE_CLOSED
