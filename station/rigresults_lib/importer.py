"""Finds runs in station result folders, fixture run folders and kept logs, and stores them.

import_paths(engine, paths, station, progress) -> (new, already, refused [(path, reason)])
load_run(log_path, station, fixture=None, exit_status=None) -> run dict, or raises Refused
A report rigChkEx.js beside a kept log is its report when its head names the same run.
"""
import fnmatch
import os
import re

from . import parse, store

STATION_LOG = "rigChkEx-kept.log"     # a station's copy of the kept log
KEPT_LOG = "rigChkEx_*.log"           # the kept log's own name
REPORT = "rigChkEx.js"
MAX_FILE_BYTES = 64 << 20             # no kept log comes near this
CONSOLE_LINK = "console"              # in the folder of a rigfixture --console session
PROGRESS_FROM = 50                    # files from which an import shows its progress
# rigfixture's default run folder: <board>-<YYYYmmdd-HHMMSS>-<pid>
FIXTURE_RUN_DIR = re.compile(r"(.+)-\d{8}-\d{6}-\d+\Z")


def is_kept_log(name):
    """Returns whether a file name is a kept log's (the board's or the station's copy)."""
    return name == STATION_LOG or fnmatch.fnmatchcase(name, KEPT_LOG)


def find_logs(paths):
    """Returns the kept logs under paths (a file given is taken whatever its name), sorted."""
    found = []
    for path in paths:
        if not os.path.isdir(path):
            found.append(path)
            continue
        for folder, dirs, files in os.walk(path):
            dirs.sort()
            found += [os.path.join(folder, f) for f in sorted(files) if is_kept_log(f)]
    return found


def read_bytes(path):
    """Returns a file's bytes; raises Refused when it cannot be read or is far too large."""
    try:
        if os.path.getsize(path) > MAX_FILE_BYTES:
            raise parse.Refused(f"larger than {MAX_FILE_BYTES >> 20} MiB")
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise parse.Refused(f"cannot be read: {e.strerror}") from None


def run_folder(log_path):
    """Returns the fixture run folder a kept log lies in (OUT/NandFlash/tmp), or None."""
    tmp = os.path.dirname(os.path.abspath(log_path))
    if os.path.basename(tmp) == "tmp" and os.path.basename(os.path.dirname(tmp)) == "NandFlash":
        return os.path.dirname(os.path.dirname(tmp))
    return None


def first_line(path, prefix=""):
    """Returns the rest of a file's first line that starts with prefix, or None."""
    try:
        with open(path, errors="replace") as f:
            return next((line[len(prefix):].strip() for line in f if line.startswith(prefix)), None)
    except OSError:
        return None


def place_of(log_path):
    """Returns (fixture, exit status, end pattern) as the log's folder tells them."""
    out = run_folder(log_path)
    if out is None:  # a station's folder RESULTS/<board>/ or a folder of kept logs
        return os.path.basename(os.path.dirname(os.path.abspath(log_path))), None, None
    name = os.path.basename(out)
    m = FIXTURE_RUN_DIR.match(name)
    fixture = m.group(1) if m else name
    if os.path.lexists(os.path.join(out, CONSOLE_LINK)):
        return fixture, None, None  # a console session: its status is the shell's
    pattern = first_line(os.path.join(out, "verdict.txt"), "end pattern:")
    return fixture, first_line(os.path.join(out, "exit_status")), pattern.split()[0] if pattern else None


def load_run(log_path, station, fixture=None, exit_status=None):
    """Returns the run of a kept log with its report beside it (if any); raises Refused."""
    run = parse.parse_kept_log(read_bytes(log_path))
    report = os.path.join(os.path.dirname(log_path), REPORT)
    if os.path.exists(report) and parse.apply_report(run, read_bytes(report)) is None:
        report = None  # another run's report (a folder of several kept logs)
    place, status, pattern = place_of(log_path)
    run.update(station=station, fixture=fixture or place,
               exit_status=exit_status if exit_status is not None else status, end_pattern=pattern,
               log_path=os.path.abspath(log_path),
               report_path=os.path.abspath(report) if report and os.path.exists(report) else None)
    return run


def import_paths(engine, paths, station, progress=True):
    """Stores every run found under paths; returns (new, already stored, refused)."""
    logs = find_logs(paths)
    if progress and len(logs) >= PROGRESS_FROM:
        from tqdm import tqdm
        logs = tqdm(logs, unit="log", disable=None)
    batch, refused, new, already = [], [], 0, 0
    for path in logs:
        try:
            batch.append(load_run(path, station))
        except parse.Refused as e:
            refused.append((path, str(e)))
        if len(batch) >= store.BATCH:
            n, a = store.store_runs(engine, batch)
            new, already, batch = new + n, already + a, []
    n, a = store.store_runs(engine, batch)
    return new + n, already + a, refused
