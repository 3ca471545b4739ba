"""Finds runs in station result folders, fixture run folders and kept logs, and stores them.

import_paths(engine, paths, station, progress, aborted=None) -> (new, already, refused
    [(path, reason)]); aborted (a list) gets the path of each aborted run read
load_run(log_path, station, fixture=None, exit_status=None, root=None) -> run dict with
    its files' bytes, or raises Refused
A report rigChkEx.js beside a kept log is its report when its head names the same run.
Every file is read as files.read_regular does: a regular file within the folder imported
(root), bounded in size; a folder that cannot be listed is refused like a file.
The live log rigChkEx.log is a run when the program could not move it (its banner is in
it); beside a kept log, without banner, it is the lines written after the move, part of
the kept log's run, and is passed over.
"""
import fnmatch
import os
import re

from . import files, parse, store

STATION_LOG = "rigChkEx-kept.log"     # a station's copy of the kept log
KEPT_LOG = "rigChkEx_*.log"           # the kept log's own name
LIVE_LOG = "rigChkEx.log"             # the live log, kept in place when it could not be moved
REPORT = "rigChkEx.js"
MAX_FILE_BYTES = store.MAX_FILE_BYTES
MAX_SIDE_BYTES = 4096                 # exit_status, verdict.txt: a few lines
BATCH_BYTES = 64 << 20                # files' bytes held before a batch is stored
CONSOLE_LINK = "console"              # in the folder of a rigfixture --console session
PROGRESS_FROM = 50                    # files from which an import shows its progress
# rigfixture's default run folder: <board>-<YYYYmmdd-HHMMSS>-<pid>
FIXTURE_RUN_DIR = re.compile(r"(.+)-\d{8}-\d{6}-\d+\Z")


def is_kept_log(name):
    """Returns whether a file name is a kept log's (the board's or the station's copy)."""
    return name == STATION_LOG or fnmatch.fnmatchcase(name, KEPT_LOG)


def find_logs(paths):
    """Returns ([(log, root)] under paths, sorted; a file given is taken whatever its name and
    its folder is its root, and [(folder, reason)] of the folders that cannot be listed)."""
    found, refused = [], []

    def unlisted(e):
        refused.append((e.filename, f"cannot be listed: {e.strerror}"))
    for path in paths:
        if not os.path.isdir(path) or os.path.islink(path):
            found.append((path, run_folder(path) or os.path.dirname(os.path.abspath(path))))
            continue
        for folder, dirs, names in os.walk(path, onerror=unlisted):  # links to folders not entered
            dirs.sort()
            found += [(os.path.join(folder, f), path) for f in sorted(names)
                      if is_kept_log(f) or f == LIVE_LOG]
    return found, refused


def read_bytes(path, root=None, limit=MAX_FILE_BYTES):
    """Returns a file's bytes; raises Refused (see files.read_regular)."""
    return files.read_regular(path, limit, root if root is not None else os.path.dirname(os.path.abspath(path)))


def run_folder(log_path):
    """Returns the fixture run folder a kept log lies in (OUT/NandFlash/tmp), or None."""
    tmp = os.path.dirname(os.path.abspath(log_path))
    if os.path.basename(tmp) == "tmp" and os.path.basename(os.path.dirname(tmp)) == "NandFlash":
        return os.path.dirname(os.path.dirname(tmp))
    return None


def first_line(path, root, prefix=""):
    """Returns the rest of a small file's first line that starts with prefix, or None
    (also when it is no regular file within root)."""
    try:
        lines = parse.decode(read_bytes(path, root, MAX_SIDE_BYTES)).splitlines()
    except parse.Refused:
        return None
    return next((line[len(prefix):].strip()[:parse.MAX_NAME] for line in lines if line.startswith(prefix)), None)


def place_of(log_path, root):
    """Returns (fixture, exit status, end pattern) as the log's folder tells them."""
    out = run_folder(log_path)
    if out is None:  # a station's folder RESULTS/<board>/[<run folder>/] or a folder of kept logs
        folder = os.path.basename(os.path.dirname(os.path.abspath(log_path)))
        m = files.RUN_FOLDER.match(folder)
        return m.group(1) if m else folder, None, None
    name = os.path.basename(out)
    m = FIXTURE_RUN_DIR.match(name)
    fixture = m.group(1) if m else name
    if os.path.lexists(os.path.join(out, CONSOLE_LINK)):
        return fixture, None, None  # a console session: its status is the shell's
    if not files.beneath(out, root):  # the run folder lies above the folder imported
        return fixture, None, None
    pattern = first_line(os.path.join(out, "verdict.txt"), root, "end pattern:")
    return fixture, first_line(os.path.join(out, "exit_status"), root), pattern.split()[0] if pattern else None


def name_of(text, what):
    """Returns a station's or fixture's name safe to store; raises Refused when too long."""
    text = files.safe_text(text or "")
    if len(text) > parse.MAX_NAME:
        raise parse.Refused(f"the {what} name is longer than {parse.MAX_NAME} characters")
    return text


def load_run(log_path, station, fixture=None, exit_status=None, root=None):
    """Returns the run of a kept log with its report beside it (if any) and both files'
    bytes; raises Refused."""
    root = root if root is not None else os.path.dirname(os.path.abspath(log_path))
    data = read_bytes(log_path, root)
    run = parse.parse_kept_log(data)
    report = os.path.join(os.path.dirname(log_path), REPORT)
    report_data = None
    if os.path.lexists(report):
        try:
            report_data = read_bytes(report, root)
        except parse.Refused as e:
            raise parse.Refused(f"its report {REPORT}: {e}") from None
        if parse.apply_report(run, report_data) is None:
            report, report_data = None, None  # another run's report (a folder of several kept logs)
    place, status, pattern = place_of(log_path, root)
    run.update(station=name_of(station, "station"), fixture=name_of(fixture or place, "fixture"),
               exit_status=exit_status if exit_status is not None else status, end_pattern=pattern,
               log_path=files.safe_text(os.path.abspath(log_path)),
               report_path=files.safe_text(os.path.abspath(report)) if report_data is not None else None,
               log_data=data, log_hash=parse.content_hash(data), report_data=report_data)
    return run


def after_the_move(path):
    """Returns whether a live log lies beside a kept log (the lines after the move)."""
    folder = os.path.dirname(path)
    try:
        return any(is_kept_log(n) for n in os.listdir(folder or "."))
    except OSError:
        return False


def import_paths(engine, paths, station, progress=True, aborted=None):
    """Stores every run found under paths; returns (new, already stored, refused)."""
    logs, refused = find_logs(paths)
    if progress and len(logs) >= PROGRESS_FROM:
        from tqdm import tqdm
        logs = tqdm(logs, unit="log", disable=None)
    batch, held, new, already = [], 0, 0, 0
    for path, root in logs:
        try:
            batch.append(load_run(path, station, root=root))
            held += len(batch[-1]["log_data"]) + len(batch[-1]["report_data"] or b"")
            if batch[-1]["aborted"] and aborted is not None:
                aborted.append(path)
        except parse.NoBanner as e:
            if not (os.path.basename(path) == LIVE_LOG and after_the_move(path)):
                refused.append((path, str(e)))
        except parse.Refused as e:
            refused.append((path, str(e)))
        if len(batch) >= store.BATCH or held >= BATCH_BYTES:
            n, a = store.store_runs(engine, batch)
            new, already, batch, held = new + n, already + a, [], 0
    n, a = store.store_runs(engine, batch)
    return new + n, already + a, refused
