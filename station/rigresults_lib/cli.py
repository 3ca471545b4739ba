"""rigresults: the results store's command line (see main's usage text)."""
import argparse
import csv
import json
import socket
import sys

from sqlalchemy.exc import ArgumentError, OperationalError

from . import health, importer, parse, replay, store, sync, views

FORMATS = ("table", "csv", "json")
DEFAULT_PORT = 8021
STREAK = 3
STORE_FAILED = 2  # exit status when the store cannot be opened or reached
# The columns of each view's table and CSV (JSON carries every field).
COLUMNS = {
    "yield": ["day", "station", "device_type", "units", "first_pass_yield", "final_yield", "retests"],
    "pareto": ["kind", "port", "boards_failed", "runs_failed", "hard", "intermittent"],
    "failures": ["start_time", "station", "fixture", "chip", "shown", "nature"],
    "fixtures": ["station", "fixture", "port", "streak", "boards_failed", "passed_elsewhere"],
    "health": ["place", "port", "chart", "rule", "since", "points", "rate", "line_rate"],
    "unit": ["start_time", "station", "fixture", "result", "failed_ports", "exit_status", "log_path"],
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
    """Imports the runs under args.paths; returns 1 when any file was refused."""
    new, already, refused = importer.import_paths(engine, args.paths, args.station,
                                                  progress=not args.quiet)
    for path, reason in refused:
        print(f"rigresults: refused {printable(path)}: {printable(reason)}", file=sys.stderr)
    print(f"rigresults: {new} runs stored, {already} already stored, {len(refused)} refused")
    return 1 if refused else 0


def filters(args):
    """Returns the views' filters given on the command line."""
    return {"day_from": args.day_from, "day_to": args.day_to, "station": args.station,
            "device_type": args.device_type}


def cmd_view(args, engine):
    """Prints one view; returns 0."""
    with engine.connect() as conn:
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
    emit(rows, COLUMNS[args.cmd], args.format)
    return 0


def cmd_serve(args, engine):
    """Serves the dashboard until interrupted; returns 0."""
    from . import web
    web.serve(args.db or store.default_url(), args.host, args.port)
    return 0


def cmd_sync(args, engine):
    """Forwards every run of this store to args.to; returns 0."""
    target = store.open_db(args.to)
    new, already = sync.forward(engine, target)
    print(f"rigresults: {new} runs forwarded, {already} already there")
    return 0


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
    """Returns the command line's parser."""
    p = argparse.ArgumentParser(prog="rigresults", description="The self-test's results store.")
    p.add_argument("--db", help=f"SQLAlchemy URL of the store (default ${store.ENV_DB}, "
                                f"else sqlite:///~/{store.DEFAULT_DB[2:]})")
    sub = p.add_subparsers(dest="cmd", required=True)
    imp = sub.add_parser("import", help="store the runs of result folders, run folders, kept logs")
    imp.add_argument("paths", nargs="+")
    imp.add_argument("--station", default=socket.gethostname(),
                     help="the station that ran them (default: this machine's name)")
    imp.add_argument("--quiet", action="store_true", help="no progress bar")
    for name, what in (("yield", "first-pass and final yield per day, station, device type"),
                       ("pareto", "ports by the number of boards they failed on"),
                       ("failures", "every failed tally: hard or intermittent"),
                       ("fixtures", "ports failing in a row at one place while passing elsewhere"),
                       ("unit", "every run of one chip")):
        v = sub.add_parser(name, help=what)
        v.add_argument("--format", choices=FORMATS, default="table")
        if name == "unit":
            v.add_argument("chip")
            continue
        v.add_argument("--from", dest="day_from", metavar="DAY")
        v.add_argument("--to", dest="day_to", metavar="DAY")
        v.add_argument("--station")
        v.add_argument("--device-type")
        if name == "pareto":
            v.add_argument("--by", choices=("port", "kind"), default="port")
        if name == "failures":
            v.add_argument("--port")
            v.add_argument("--kind")
            v.add_argument("--nature", choices=("hard", "intermittent"))
        if name == "fixtures":
            v.add_argument("--streak", type=int, default=STREAK,
                           help=f"boards in a row that make a place suspect (default {STREAK})")
    srv = sub.add_parser("serve", help="the read-only dashboard")
    srv.add_argument("--host", default="127.0.0.1")
    srv.add_argument("--port", type=int, default=DEFAULT_PORT)
    rep = sub.add_parser("replay", help="a board file for the simulated fixture that replays a run")
    rep.add_argument("run", metavar="RUN|CHIP", help="a run's id, or a chip (its last run)")
    rep.add_argument("--out", metavar="BOARD.json", help="write it here (default: standard output)")
    hea = sub.add_parser("health", help="places and ports out of statistical control")
    hea.add_argument("--place", metavar="P", help="only this place (station/fixture or fixture)")
    hea.add_argument("--port", metavar="P")
    hea.add_argument("--format", choices=FORMATS, default="table")
    syn = sub.add_parser("sync", help="forward this store's runs to another (no duplicates)")
    syn.add_argument("--to", required=True, metavar="URL")
    return p


def main(argv=None):
    """Runs one subcommand; returns its exit status."""
    args = parser().parse_args(argv)
    commands = {"import": cmd_import, "serve": cmd_serve, "sync": cmd_sync,
                "replay": cmd_replay, "health": cmd_health}
    try:
        engine = store.open_db(args.db)
        try:
            return commands.get(args.cmd, cmd_view)(args, engine)
        finally:
            engine.dispose()
    except (ArgumentError, OperationalError) as e:
        print(f"rigresults: the store cannot be used: {printable(str(e).splitlines()[0])}",
              file=sys.stderr)
        return STORE_FAILED
