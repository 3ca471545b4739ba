"""The stored record of runs on the command line: `rigresults show RUN|CHIP` prints a run's
kept log as the store holds it (a chip: its newest run's), `rigresults export RUN|CHIP`
writes the files of a run (a chip: of each of its runs) back into a folder of its own,
<place>_<chip>_<start time>, under --out, as the station keeps them (and import reads them).

add_parsers(command) adds both subcommands (command(name, help) returns a new
subparser); cmd_show(args, engine), cmd_export(args, engine) run them and return the
exit status.
"""
import os
import sys

from sqlalchemy import select

from . import files, importer, store, views
from .store import runs

MAX_ID_DIGITS = 18        # a run id beyond this is no run of any store (64-bit ids)
NOT_FOUND = 3             # exit status: no such run or chip, or its log was not kept


def add_parsers(command):
    """Adds the show and export subcommands through the command line's command(name, help)."""
    show = command("show", "print the kept log of a run (a chip: its newest run)")
    show.add_argument("which", metavar="RUN|CHIP")
    show.add_argument("--report", action="store_true", help="print the report instead")
    exp = command("export", "write the stored files of a run (a chip: each run) back")
    exp.add_argument("which", metavar="RUN|CHIP")
    exp.add_argument("--out", default=".", help="the folder the run folders go in (default: here)")


def runs_of(conn, which):
    """Returns the runs rows that which names: a run id, else every run of a chip, oldest first."""
    if which.isascii() and which.isdigit() and len(which) <= MAX_ID_DIGITS:
        found = conn.execute(select(runs).where(runs.c.id == int(which))).all()
        if found:
            return found
    return conn.execute(select(runs).where(runs.c.chip.in_(views.chip_spellings(which)))
                        .order_by(runs.c.start_time, runs.c.id)).all()


def cmd_show(args, engine):
    """Prints the stored log (or report) of the run named; returns 0, or NOT_FOUND."""
    with engine.connect() as conn:
        found = runs_of(conn, args.which)
        if not found:
            print(f"rigresults: no run or chip {args.which!r} in the store", file=sys.stderr)
            return NOT_FOUND
        run = found[-1]
        text = (store.report_text if args.report else store.log_text)(conn, run.id)
    if text is None:
        what = "no report" if args.report else "its log was not kept"
        print(f"rigresults: run {run.id} of {run.chip}: {what}", file=sys.stderr)
        return NOT_FOUND
    sys.stdout.write(text)  # a reader that went away (| head) is the command line's to end quietly
    return 0


def cmd_export(args, engine):
    """Writes each named run's stored files into a folder of its own under args.out; returns
    0, or NOT_FOUND when no run is named or none of them has its files."""
    written = 0
    with engine.connect() as conn:
        found = runs_of(conn, args.which)
        for run in found:
            log, report = store.file_bytes(conn, run.id)
            if log is None:
                print(f"rigresults: run {run.id} of {run.chip}: its log was not kept", file=sys.stderr)
                continue
            folder = os.path.join(args.out, files.run_folder_name(run.fixture, run.chip, run.start_time))
            os.makedirs(folder, exist_ok=True)
            try:
                for name, data in ((importer.STATION_LOG, log), (importer.REPORT, report)):
                    if data is not None:
                        with open(os.path.join(folder, name), "xb") as f:  # never over another file
                            f.write(data)
            except FileExistsError as e:
                print(f"rigresults: run {run.id}: {e.filename} is there already: not overwritten",
                      file=sys.stderr)
                continue
            print(folder)
            written += 1
    if not found:
        print(f"rigresults: no run or chip {args.which!r} in the store", file=sys.stderr)
    return 0 if written else NOT_FOUND
