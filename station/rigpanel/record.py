"""Keeps a panel's run in the results store, with who ran it where.

keep(db_url, station, place, log_text, report_text, exit_status, meta) -> (url, run id, run):
    parses the kept log (and the report, when the board had one) as read from the
    board, stores the run with both files as an import does (an unreachable server:
    the embedded store, for a later sync) and its meta beside it; raises parse.Refused
    for a log that is no run.
failed_tallies(run) -> ["RS485-2 0/1", ...]: the run's failed tallies as the dashboard shows them.
"""
from rigresults_lib import importer, parse, store, sync, views


def keep(db_url, station, place, log_text, report_text, exit_status, meta):
    """Stores the run, its files and its meta; returns (URL stored into, run id, the parsed run)."""
    log = log_text.encode("utf-8", "replace")
    report = None if report_text is None else report_text.encode("utf-8", "replace")
    run = parse.parse_kept_log(log)
    if report is not None and parse.apply_report(run, report) is None:
        raise parse.Refused("the report names another run than the kept log")
    run.update(station=importer.name_of(station, "station"), fixture=importer.name_of(place, "fixture"),
               exit_status=exit_status, end_pattern=None, log_path=None, report_path=None,
               log_data=log, report_data=report)  # the store keeps the files, as an import's
    url, _, _ = sync.store_or_keep(db_url, [run])
    engine = store.open_db(url)
    try:
        key = store.identity(store.run_row(run))
        with engine.connect() as conn:
            run_id = store.stored_ids(conn, {key})[key]
        store.store_run_meta(engine, run_id, dict(meta, place=place, program_version=run.get("version")))
    finally:
        engine.dispose()
    return url, run_id, run


def failed_tallies(run):
    """Returns the failed tallies of a parsed run, e.g. "RS485-2 0/1", "DO-2 NO 0/3"."""
    return [views.shown(p["port"], p["test"], p["successes"], p["errors"]) for p in run["ports"]
            if parse.tally_failed(p["successes"], p["errors"])]
