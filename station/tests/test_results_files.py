# The results store on real kept logs and reports (data/: runs of the simulated fixture),
# on bad files, and its views on a small batch counted by hand.
import json
import os
import re
import shutil
import subprocess
import sys

import pytest
from sqlalchemy import select

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from rigresults_lib import importer, parse, store, synth, views  # noqa: E402

DATA = os.path.join(HERE, "data")
RIGRESULTS = os.path.join(os.path.dirname(HERE), "rigresults")
LOG, REPORT = importer.STATION_LOG, importer.REPORT


def sample(name, what=LOG):
    with open(os.path.join(DATA, name, what), "rb") as f:
        return f.read()


def rigresults(db, *args):
    return subprocess.run([sys.executable, RIGRESULTS, "--db", db, *args],
                          capture_output=True, text=True, timeout=120)


def test_real_runs_read_as_the_fixture_judged_them():
    run = importer.load_run(os.path.join(DATA, "serial-faults", LOG), "st")
    failed = {views.shown(p["port"], p["test"], p["successes"], p["errors"])
              for p in run["ports"] if p["verdict"] == 0}
    # serial-faults/verdict.txt: RS485-2 0/3, RS485-3 2/3, RS232-2 0/3, RS232-3 0/3
    assert failed == {"RS485-2 0/3", "RS485-3 2/3", "RS232-2 0/3", "RS232-3 0/3"}
    assert (run["chip"], run["device_type"], run["tries"], run["kinds"], run["passed"]) == \
        ("0x2A1B3C4D", "ZR-A7-T100", 3, 7, False)
    run = importer.load_run(os.path.join(DATA, "default", LOG), "st")
    assert run["passed"] and len(run["ports"]) == 16 and {p["verdict"] for p in run["ports"]} == {1}
    assert {p["test"] for p in run["ports"] if p["kind"] in ("DO", "DI")} == {"NO", "NC"}


def with_chip(log, chip):
    return log.replace(b"iMx6ull:0x2A1B3C4D", b"iMx6ull:" + chip.encode())


def renumbered(lines):
    return b"".join(re.sub(rb"^\d+=", str(i).encode() + b"=", l) for i, l in enumerate(lines))


def bad_files():
    log, report = sample("default"), sample("default", REPORT)
    lines = log.splitlines(keepends=True)
    flipped = report.replace(b'"RS485-2","port":1', b'"RS485-2","port":0')
    when = b"DateTime:2026-12-09 13:00:00"
    return [  # (case, kept log, report or None, the reason's words)
        ("foreign", b'<?xml version="1.0"?>\n<testsuite name="x"/>\n', None, "not a trace log"),
        ("no-banner", renumbered(lines[10:]), None, "no banner"),
        ("line-missing", with_chip(b"".join(lines[:30] + lines[31:]), "0xC3"), None, "lines are missing"),
        ("empty", b"", None, "empty file"),
        ("report-disagrees", with_chip(log, "0xC4"), flipped, "the report says RS485-2 failed"),
        ("report-cut", with_chip(log, "0xC5"), report[:200], "does not fit its log's ports"),
        # Crafted numbers, dates and names: each refused, none of them a traceback.
        ("ports-2e9", log.replace(b"@:RS485 Cnt:2", b"@:RS485 Cnt:2000000000"), None, "RS485 Cnt has more"),
        ("digits-5000", log.replace(b"RS485-1:Test Succ Cnt 2", b"RS485-1:Test Succ Cnt " + b"9" * 5000),
         None, "more than 9 digits"),
        ("tally-over-tries", log.replace(b"RS485-1:Test Succ Cnt 2", b"RS485-1:Test Succ Cnt 3"), None,
         "counts more than 2 tries"),
        ("date-99", log.replace(when, b"DateTime:9999-99-99 99:99:99"), None, "no date and time"),
        ("date-feb-30", log.replace(when, b"DateTime:2026-02-30 25:61:61"), None, "no date and time"),
        ("date-arabic", log.replace(when, "DateTime:٢٠٢٦-١٢-٠٩ ١٣:٠٠:٠٠".encode()), None, "no date and time"),
        ("date-far-ahead", log.replace(when, b"DateTime:9999-12-31 00:00:00"), None, "is after"),
        ("host-10k", log.replace(b"hostname:ZR-A7-T100", b"hostname:" + b"h" * 10000), None, "longer than 255"),
    ]


def special_files(folder, outside):
    """Writes into folder the files that no import may read as they claim; returns
    [(case, the reason's words)]."""
    os.makedirs(outside)
    (outside / LOG).write_bytes(with_chip(sample("default"), "0xE1"))
    cases = [("fifo-log", "not a regular file"), ("fifo-report", "its report rigChkEx.js: not a regular file"),
             ("link-out", "a link out of the imported folder"), ("huge", "larger than")]
    for case, _ in cases:
        os.makedirs(folder / case)
    os.mkfifo(folder / "fifo-log" / LOG)
    (folder / "fifo-report" / LOG).write_bytes(with_chip(sample("default"), "0xE2"))
    os.mkfifo(folder / "fifo-report" / REPORT)
    os.symlink(outside / LOG, folder / "link-out" / LOG)
    os.truncate(os.open(folder / "huge" / LOG, os.O_CREAT | os.O_WRONLY), store.MAX_FILE_BYTES + 1)
    return cases


def test_bad_files_are_refused_by_name_and_the_import_goes_on(tmp_path):
    db = f"sqlite:///{tmp_path}/r.db"
    for case, log, report, _ in bad_files():
        os.makedirs(tmp_path / "in" / case)
        (tmp_path / "in" / case / LOG).write_bytes(log)
        if report is not None:
            (tmp_path / "in" / case / REPORT).write_bytes(report)
    special = special_files(tmp_path / "in", tmp_path / "outside")
    # default and serial-faults: one chip, one second; modem: a modem's answer spans lines in its
    # entries, and its console copy (line feeds read back as CR LF) is the same run.
    modem = with_chip(sample("modem"), "0xB1")
    for good, log in (("default", None), ("hostile", None), ("serial-faults", None), ("modem", modem),
                      ("modem-console", modem.replace(b"\n", b"\r\n"))):
        os.makedirs(tmp_path / "in" / good)
        (tmp_path / "in" / good / LOG).write_bytes(log or sample(good))
        (tmp_path / "in" / good / REPORT).write_bytes(sample(good.split("-")[0] if log else good, REPORT))
    os.makedirs(tmp_path / "in" / "no-report")  # a kept log alone is a run all the same
    (tmp_path / "in" / "no-report" / LOG).write_bytes(with_chip(sample("serial-faults"), "0xD1"))
    # Runs that ended without a result line: cut in the middle of a line, cut before the result.
    log = sample("default")
    summary = next(i for i, l in enumerate(log.splitlines(True)) if b"Test Succ Cnt" in l)
    for case, cut in (("cut-mid-line", with_chip(log, "0xC1")[:-20]),
                      ("cut-before-summary", renumbered(with_chip(log, "0xC2").splitlines(True)[:summary]))):
        os.makedirs(tmp_path / "in" / case)
        (tmp_path / "in" / case / LOG).write_bytes(cut)
    # A name that is no UTF-8; a fixture's run folder whose exit status is a FIFO, with the
    # live log the program starts after the move (no banner) beside the kept log.
    os.makedirs(os.fsencode(tmp_path / "in") + b"/bad-\xff-name")
    with open(os.fsencode(tmp_path / "in") + b"/bad-\xff-name/" + LOG.encode(), "wb") as f:
        f.write(with_chip(log, "0xD2"))
    tmp = tmp_path / "in" / "fixture-a-20261209-130000-7" / "NandFlash" / "tmp"
    os.makedirs(tmp)
    (tmp / "rigChkEx_ZR-A7-T100_2026-12-09 13:00:00.log").write_bytes(with_chip(log, "0xD3"))
    (tmp / "rigChkEx.log").write_bytes(b"".join(log.splitlines(True)[-3:]))  # its counter goes on
    os.mkfifo(tmp.parent.parent / "exit_status")
    os.makedirs(tmp_path / "in" / "slash-host" / "NandFlash" / "tmp")  # a log the program could not move
    (tmp_path / "in" / "slash-host" / "NandFlash" / "tmp" / "rigChkEx.log").write_bytes(with_chip(log, "0xD4"))
    out = subprocess.run([sys.executable, RIGRESULTS, "--db", db, "import", "--station", b"st1\xff",
                          str(tmp_path / "in")], capture_output=True, text=True, timeout=120)
    refused = len(bad_files()) + len(special)
    assert out.returncode == refused, out.stderr
    assert f"10 runs stored, 1 already stored, {refused} refused; 2 of the runs read aborted" in out.stdout
    for case, reason in [(c, r) for c, _, _, r in bad_files()] + special:
        line = next((l for l in out.stderr.splitlines() if f"/in/{case}/{LOG}:" in l), "")
        assert reason in line, (case, out.stderr)
    # Nothing of a refused file was stored: its chip has no run.
    engine = store.open_db(db)
    with engine.connect() as conn:
        assert all(views.unit_runs(conn, f"0xC{i}") == [] for i in range(3, 6))
        assert views.unit_runs(conn, "0xE1") == views.unit_runs(conn, "0xE2") == []
        assert sorted(r["units"] for r in views.yield_rows(conn)) == [1, 1, 7]
        (modem_run,) = views.unit_runs(conn, "0xB1")
        modem_ports = views.run_detail(conn, modem_run["run_id"])["ports"]
        assert [(p["successes"], p["errors"], p["verdict"]) for p in modem_ports if p["port"] == "RS232-4"] \
            == [(2, 0, 1)]
        assert modem_run["failed_ports"] == ["DO-1 NO 0/2", "DO-2 NO 0/2", "DO-1 NC 0/0", "DO-2 NC 0/0"]
        alone = views.unit_runs(conn, "0xD1")
        assert alone[0]["failed_ports"] == ["RS485-2 0/3", "RS485-3 2/3", "RS232-2 0/3", "RS232-3 0/3"]
        assert alone[0]["report_path"] is None
        assert {p["verdict"] for p in views.run_detail(conn, alone[0]["run_id"])["ports"]} == {None}
        # Two runs of one chip in one second, and each keeps its own log.
        both = views.unit_runs(conn, "0x2A1B3C4D")
        assert sorted(r["result"] for r in both) == ["fail", "pass"]
        assert {store.log_text(conn, r["run_id"]).count("Cnt=3") for r in both} == {0, 1}
        # The aborted runs: kept with what they hold, counted as not passed.
        for chip, tallies in (("0xC1", 16), ("0xC2", 0)):
            (run,) = views.unit_runs(conn, chip)
            assert (run["result"], run["aborted"], run["tries"]) == ("aborted", 1, 2)
            assert len(views.run_detail(conn, run["run_id"])["ports"]) == tallies
        # Passed first: hostile, D2, D3, D4, and 0x2A1B3C4D when its first stored run passed.
        first = min(both, key=lambda r: r["run_id"])["result"] == "pass"
        assert sum(r["first_pass"] for r in views.yield_rows(conn)) == 4 + first
        (odd,) = views.unit_runs(conn, "0xD2")
        assert odd["fixture"] == "bad-\\xff-name" and odd["station"] == "st1\\xff"
        (fixture_run,) = views.unit_runs(conn, "0xD3")
        assert (fixture_run["fixture"], fixture_run["exit_status"]) == ("fixture-a", None)
    # Storing again changes nothing.
    again = rigresults(db, "import", "--station", "st1", str(tmp_path / "in" / "default"))
    assert again.returncode == 0 and "0 runs stored, 1 already stored, 0 refused" in again.stdout


def test_hostile_names_come_back_exactly_and_never_as_markup_or_sql(tmp_path):
    db = f"sqlite:///{tmp_path}/r.db"
    out = rigresults(db, "import", "--station", "st'<i>", os.path.join(DATA, "hostile"))
    assert out.returncode == 0, out.stderr
    host = "ZR \"<b>A7<b>' ;DROP TABLE runs;--"
    rows = json.loads(rigresults(db, "unit", "0x0BAD5EED", "--format", "json").stdout)
    assert [(r["device_type"], r["station"], r["result"]) for r in rows] == [(host, "st'<i>", "pass")]
    engine = store.open_db(db)
    with engine.connect() as conn:
        detail = views.run_detail(conn, rows[0]["run_id"])
    assert {p["port"] for p in detail["ports"]} >= {'RS232-"<script>q', "RS232-'x'\tt"}
    assert all(p["verdict"] == 1 for p in detail["ports"])
    table = rigresults(db, "pareto", "--by", "port").stdout + rigresults(db, "yield").stdout
    assert "\t" not in table and host in table
    # A report that writes the names as they are, unescaped (no valid JSON), reads the same.
    raw = sample("hostile", REPORT).replace(b'\\"', b'"').replace(b"\\u0009", b"\t")
    run = parse.apply_report(parse.parse_kept_log(sample("hostile")), raw)
    assert [p["verdict"] for p in run["ports"]] == [1, 1, 1, 1]


def tallies(failures=(), tries=1):
    """Four serial ports that pass every try, but those in failures {port: successes}."""
    names = [("RS485", "RS485-1"), ("RS485", "RS485-2"), ("RS232", "RS232-1"), ("RS232", "RS232-2")]
    return [{"kind": k, "port": p, "test": "", "successes": failures.get(p, tries),
             "errors": tries - failures.get(p, tries)} for k, p in names]


# (chip, start, station, fixture, failed ports {port: successes}, tries)
BATCH = [
    ("c1", "2026-03-02 08:00:00", "S1", "A", {}, 1),
    ("c2", "2026-03-02 08:01:00", "S1", "A", {"RS485-2": 0}, 1),
    ("c3", "2026-03-02 08:02:00", "S1", "A", {"RS232-1": 0}, 1),
    ("c4", "2026-03-02 08:03:00", "S1", "A", {"RS232-1": 0}, 1),
    ("c5", "2026-03-02 08:04:00", "S1", "A", {"RS232-1": 0}, 1),
    ("c2", "2026-03-02 09:00:00", "S1", "B", {}, 1),
    ("c3", "2026-03-03 08:00:00", "S2", "A", {}, 1),
    ("c6", "2026-03-03 08:01:00", "S2", "A", {"RS485-1": 37}, 50),
    ("c7", "2026-03-03 08:02:00", "S2", "A", {}, 1),
    ("c6", "2026-03-03 09:00:00", "S2", "A", {"RS485-1": 49}, 50),
]


@pytest.fixture(scope="module", params=["sqlite", "postgresql"])
def batch(request, tmp_path_factory):
    if request.param == "sqlite":
        engine = store.open_db(f"sqlite:///{tmp_path_factory.mktemp('batch')}/r.db")
    else:  # the same views on the server, in a database of their own
        server = request.getfixturevalue("server")
        with store.make_engine(server).connect().execution_options(isolation_level="AUTOCOMMIT") as c:
            c.exec_driver_sql("CREATE DATABASE batch")
        engine = store.open_db(server.replace("/postgres?", "/batch?"))
    runs = []
    for chip, start, station, fixture, failures, tries in BATCH:
        ports = tallies(failures, tries)
        run = parse.parse_kept_log(synth.kept_log(chip, "ZR-A7-T100", start, ports, tries, kinds=6))
        parse.apply_report(run, synth.report("ZR-A7-T100", start, ports, kinds=6))
        runs.append(dict(run, station=station, fixture=fixture))
    # The later half first: a unit's first run may reach the store after its retest.
    assert store.store_runs(engine, runs[5:]) == (5, 0) and store.store_runs(engine, runs) == (5, 5)
    with engine.connect() as conn:
        yield conn


def test_views_match_the_batch_counted_by_hand(batch):
    y = views.yield_rows(batch)
    assert [(r["day"], r["station"], r["units"], r["first_pass"], r["final_pass"], r["retests"])
            for r in y] == [("2026-03-02", "S1", 5, 1, 3, 2), ("2026-03-03", "S2", 2, 1, 1, 1)]
    assert y[0]["first_pass_yield"] == 0.2 and y[0]["final_yield"] == 0.6
    assert views.yield_rows(batch, station="S2", day_from="2026-03-03")[0]["units"] == 2
    p = views.pareto_rows(batch)
    assert [(r["port"], r["boards_failed"], r["runs_failed"], r["hard"], r["intermittent"]) for r in p] == \
        [("RS232-1", 3, 3, 3, 0), ("RS485-1", 1, 2, 0, 1), ("RS485-2", 1, 1, 1, 0)]
    assert [(r["kind"], r["boards_failed"]) for r in views.pareto_rows(batch, by="kind")] == \
        [("RS232", 3), ("RS485", 2)]
    f = views.failure_rows(batch, port="RS485-1")
    assert [(r["chip"], r["shown"], r["nature"]) for r in f] == \
        [("c6", "RS485-1 49/50", "intermittent"), ("c6", "RS485-1 37/50", "intermittent")]
    assert [(r["station"], r["fixture"], r["port"], r["streak"], r["passed_elsewhere"])
            for r in views.fixture_rows(batch)] == [("S1", "A", "RS232-1", 3, 5)]
    assert views.fixture_rows(batch, streak=4) == []
    u = views.unit_runs(batch, "c2")
    assert [(r["fixture"], r["result"], r["failed_ports"]) for r in u] == \
        [("A", "fail", ["RS485-2 0/1"]), ("B", "pass", [])]


@pytest.fixture(params=["sqlite", "postgresql"])
def empty_store(request, tmp_path):
    """The URL of a new empty store: a SQLite file, or a new database of the PostgreSQL server."""
    if request.param == "sqlite":
        return f"sqlite:///{tmp_path}/r.db"
    url, name = request.getfixturevalue("server"), f"empty_{tmp_path.name.lower()}"
    with store.make_engine(url).connect().execution_options(isolation_level="AUTOCOMMIT") as c:
        c.exec_driver_sql(f'CREATE DATABASE "{name}"')
    return url.replace("/postgres?", f"/{name}?")


def test_streaks_kept_on_insert_match_the_walk_of_every_run(empty_store):
    """Runs stored out of time order, in batches, some twice: the suspected fixtures read
    from the streaks summary (kept as runs are stored, or filled at once by the upgrade),
    over all days or cut to some, are those of the walk of those runs in time order."""
    import random
    rng = random.Random(26)
    engine = store.open_db(empty_store)
    tested = [("RS485", "RS485-1", ""), ("RS232", "RS232-1", ""), ("DO", "DO-1", "NO"), ("DO", "DO-1", "NC")]
    kinds_of = {"RS485": parse.SEL_RS485, "RS232": parse.SEL_RS232, "DO": parse.SEL_DIO}
    places = [("S1", "A", 0.5), ("S1", "B", 0.2), ("S2", "A", 0.35)]
    runs = []
    for n in range(400):
        station, fixture, rate = rng.choice(places)
        kinds = rng.choice((7, 7, 7, 6, 5, 1, 0))  # some runs test some kinds only
        ports = [{"kind": k, "port": p, "test": t, "verdict": None, "successes": 0 if rng.random() < rate else 1,
                  "errors": 0} for k, p, t in tested if kinds & kinds_of[k]]
        for p in ports:
            p["errors"] = 1 - p["successes"]
        runs.append({"chip": f"c{rng.randrange(300)}", "device_type": "T", "kinds": kinds, "tries": 1,
                     "start_time": f"2026-03-{2 + n // 100:02d} 08:{n % 100 // 2:02d}:00",  # pairs share a second
                     "result_line": "iTestSta:0", "passed": True, "station": station, "fixture": fixture,
                     "ports": ports})
    order = rng.sample(runs, len(runs)) + rng.sample(runs, 60)  # a sixth imported again
    while order:
        size = rng.randint(1, 40)
        store.store_batch(engine, order[:size])
        order = order[size:]

    def compare():
        with engine.connect() as conn:
            for streak in (1, 2, 3, 4):
                for station in (None, "S1"):
                    for days in ({}, {"day_from": "2026-03-03", "day_to": "2026-03-04"},
                                 {"day_from": "2026-03-05"}, {"day_to": "2026-03-02"}):
                        walked = views.fixture_rows(conn, streak, walk=True, station=station, **days)
                        assert views.fixture_rows(conn, streak, station=station, **days) == walked, \
                            (streak, station, days)
            return views.fixture_rows(conn, 3, walk=True)
    assert len(compare()) >= 2  # S1/A and S2/A show streaks of 3 and more
    day_counts = select(store.port_days).order_by(*store.port_days.primary_key.columns)
    with store.writing(engine) as conn:  # filled at once, as a store upgraded to the summaries is
        kept = conn.execute(day_counts).all()
        for table in (store.streaks, store.place_kinds, store.place_fails, store.port_days):
            conn.execute(table.delete())
        store.step_place_summaries(conn)
        assert conn.execute(day_counts).all() == kept and kept
    compare()


def test_two_boards_on_one_place_each_keep_their_own_log(tmp_path):
    db = f"sqlite:///{tmp_path}/r.db"
    place, logs = tmp_path / "RESULTS" / "fixture-a", {}
    os.makedirs(place)
    for chip, start in (("0xA1", "2026-03-02 08:00:00"), ("0xA2", "2026-03-02 08:05:00")):
        ports = tallies({"RS485-2": 0} if chip == "0xA2" else {})
        logs[chip] = (synth.kept_log(chip, "ZR-A7-T100", start, ports, kinds=6),
                      synth.report("ZR-A7-T100", start, ports, kinds=6))
        (place / LOG).write_bytes(logs[chip][0])  # the next board's files over the last one's
        (place / REPORT).write_bytes(logs[chip][1])
        assert rigresults(db, "import", "--quiet", str(place)).returncode == 0
    shutil.rmtree(tmp_path / "RESULTS")
    for chip, (log, _) in logs.items():
        shown = rigresults(db, "show", chip)
        assert (shown.returncode, shown.stdout) == (0, log.decode())
    missing = rigresults(db, "show", "0xA3")
    assert missing.returncode != 0 and "0xA3" in missing.stderr
    # Written back, each run in a folder of its own, they are the same runs again.
    out = rigresults(db, "export", "0xA2", "--out", str(tmp_path / "back"))
    assert out.returncode == 0, out.stderr
    (folder,) = out.stdout.split()
    assert os.path.basename(folder) == "fixture-a_0xA2_20260302-080500"
    assert [open(os.path.join(folder, n), "rb").read() for n in (LOG, REPORT)] == list(logs["0xA2"])
    again = rigresults(db, "import", str(tmp_path / "back"))
    assert "0 runs stored, 1 already stored, 0 refused" in again.stdout, again


def test_the_command_line_says_what_it_did_not_find(tmp_path):
    db = f"sqlite:///{tmp_path}/r.db"
    assert rigresults(db, "import", "--quiet", os.path.join(DATA, "serial-faults")).returncode == 0

    def run(*args):
        return subprocess.run([sys.executable, RIGRESULTS, *args], capture_output=True, text=True,
                              timeout=120)
    # --db after the subcommand; a chip in lower case is found as the board wrote it.
    found = run("unit", "0x2a1b3c4d", "--db", db, "--format", "json")
    assert found.returncode == 0 and json.loads(found.stdout)[0]["chip"] == "0x2A1B3C4D"
    for args, status, said in [
        (("unit", "0x2A1B3C4E", "--db", db), 3, "no run of the chip 0x2A1B3C4E"),
        (("yield", "--db", f"sqlite:///{tmp_path}/none.db"), 2, "no store at"),
        (("--db", f"sqlite:///{tmp_path}/missing/dir/x.db", "import", DATA), 2, "is not there"),
    ]:
        out = run(*args)
        assert (out.returncode, out.stdout) == (status, "") and said in out.stderr, (args, out)
    assert not os.path.exists(tmp_path / "none.db") and not os.path.exists(tmp_path / "missing")
    store.open_db(f"sqlite:///{tmp_path}/empty.db").dispose()
    empty = run("pareto", "--db", f"sqlite:///{tmp_path}/empty.db")
    assert empty.returncode == 3 and "holds no runs" in empty.stderr
    # A reader that stops early ends the output quietly (more output than a pipe holds).
    run_ = importer.load_run(os.path.join(DATA, "serial-faults", LOG), "st")
    engine = store.open_db(db)
    store.store_runs(engine, [dict(run_, start_time=f"2026-01-01 00:{i // 60:02d}:{i % 60:02d}")
                              for i in range(300)])
    engine.dispose()
    piped = subprocess.run(f"'{sys.executable}' '{RIGRESULTS}' --db '{db}' unit 0x2A1B3C4D "
                           "--format json | head -c 1", shell=True, capture_output=True, text=True,
                           timeout=120)
    assert piped.stdout == "[" and piped.stderr == ""
