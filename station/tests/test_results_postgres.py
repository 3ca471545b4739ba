# Several stations, one store: three stations store at once into a new SQLite file and into
# a real PostgreSQL server, and a station that cannot reach the server keeps its runs and
# forwards them later, while a store that fails otherwise is an error, never a detour.
import json
import os
import shutil
import subprocess
import sys

import pytest
from sqlalchemy import Column, MetaData, Table, UniqueConstraint, func, select
from sqlalchemy.exc import OperationalError

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from rigresults_lib import importer, store, sync, synth  # noqa: E402

RIGRESULTS = os.path.join(os.path.dirname(HERE), "rigresults")
OWN, SHARED = 40, 20  # runs only one station has, runs all three have
UNREACHABLE = "postgresql+psycopg2://rig@/postgres?host=/nonexistent-rigresults-socket"


def write_run(folder, chip, minute):
    """Writes one synthetic run (kept log and report) into folder; the chip fails RS485-2."""
    start = f"2026-04-01 10:{minute // 60:02d}:{minute % 60:02d}"
    ports = [{"kind": "RS485", "port": f"RS485-{i}", "test": "", "successes": i - 1, "errors": 2 - i}
             for i in (1, 2)]
    os.makedirs(folder)
    with open(os.path.join(folder, "rigChkEx-kept.log"), "wb") as f:
        f.write(synth.kept_log(chip, "ZR-A7-T100", start, ports, kinds=4))
    with open(os.path.join(folder, "rigChkEx.js"), "wb") as f:
        f.write(synth.report("ZR-A7-T100", start, ports, kinds=4))


def counts(url):
    engine = store.open_db(url)
    with engine.connect() as conn:
        n_runs = conn.execute(select(func.count()).select_from(store.runs)).scalar()
        n_ids = conn.execute(select(func.count()).select_from(
            select(store.runs.c.chip, store.runs.c.start_time).distinct().subquery())).scalar()
        n_ports = conn.execute(select(func.count()).select_from(store.ports)).scalar()
    engine.dispose()
    return n_runs, n_ids, n_ports


@pytest.fixture(params=["sqlite", "postgresql"])
def shared(request, tmp_path):
    """The URL of the store the stations share: a new SQLite file, or the PostgreSQL server."""
    if request.param == "sqlite":
        return f"sqlite:///{tmp_path}/shared.db"
    return request.getfixturevalue("server")


def test_three_stations_store_at_once_nothing_lost_nothing_twice(shared, tmp_path):
    for s in range(3):
        for i in range(OWN):
            write_run(tmp_path / f"s{s}" / f"own{i}", f"0x{s}{i:04d}", i)
        for i in range(SHARED):
            write_run(tmp_path / f"s{s}" / f"shared{i}", f"0xA{i:04d}", i)
    stations = [subprocess.Popen([sys.executable, RIGRESULTS, "--db", shared, "import", "--quiet",
                                  "--station", f"S{s}", str(tmp_path / f"s{s}")],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for s in range(3)]
    outs = [p.communicate(timeout=180) for p in stations]
    assert [p.returncode for p in stations] == [0, 0, 0], outs
    stored = [int(out.split("rigresults: ")[1].split()[0]) for out, _ in outs]
    total = 3 * OWN + SHARED
    assert sum(stored) == total, outs  # each shared run counted by the one station that stored it
    assert counts(shared) == (total, total, 2 * total)
    # The views: every board failed RS485-1 (successes 0 of 1) on its only run.
    views = {}
    for view in ("yield", "pareto"):
        out = subprocess.run([sys.executable, RIGRESULTS, "--db", shared, view, "--format", "json"],
                             capture_output=True, text=True, timeout=120)
        views[view] = json.loads(out.stdout)
    assert sum(r["units"] for r in views["yield"]) == total
    assert {(r["first_pass_yield"], r["final_yield"], r["retests"]) for r in views["yield"]} == {(0.0, 0.0, 0)}
    assert [(r["port"], r["boards_failed"], r["hard"]) for r in views["pareto"]] == [("RS485-1", total, total)]


def station_runs(tmp_path, chip_prefix, n):
    """Returns n runs of station S9 as the importer loads them, chips chip_prefix0000 on."""
    runs = []
    for i in range(n):
        write_run(tmp_path / "in" / str(i), f"{chip_prefix}{i:04d}", i)
        runs.append(importer.load_run(str(tmp_path / "in" / str(i) / "rigChkEx-kept.log"), "S9"))
    return runs


def test_an_offline_station_keeps_its_runs_and_forwards_them(server, tmp_path):
    local = f"sqlite:///{tmp_path}/station.db"
    runs = station_runs(tmp_path, "0xB", 5)
    # The server is out of reach: the station's own store keeps the runs.
    assert sync.store_or_keep(UNREACHABLE, runs[:3], fallback=local) == (local, 3, 0)
    before = counts(server)
    # Back online: one run reaches the server directly, then the station catches up.
    assert sync.store_or_keep(server, runs[2:4], fallback=local)[1:] == (2, 0)
    assert sync.store_or_keep(UNREACHABLE, runs[4:], fallback=local)[1:] == (1, 0)
    out = subprocess.run([sys.executable, RIGRESULTS, "--db", local, "sync", "--to", server],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0 and "3 runs forwarded, 1 already there" in out.stdout, out
    again = subprocess.run([sys.executable, RIGRESULTS, "--db", local, "sync", "--to", server],
                           capture_output=True, text=True, timeout=120)
    assert "0 runs forwarded, 4 already there" in again.stdout, again
    assert counts(server) == tuple(b + n for b, n in zip(before, (5, 5, 10)))
    # The station's files gone, the server still holds each run's log and report.
    shutil.rmtree(tmp_path / "in")
    engine = store.open_db(server)
    with engine.connect() as conn:
        held = {r.chip: r.id for r in conn.execute(select(store.runs).where(store.runs.c.chip.like("0xB%")))}
        assert [store.log_text(conn, held[r["chip"]]) for r in runs] == [r["log_data"].decode() for r in runs]
        assert [store.report_text(conn, held[r["chip"]]) for r in runs] == [r["report_data"].decode() for r in runs]
    engine.dispose()


def test_a_store_that_fails_once_reached_is_an_error_not_a_detour(tmp_path):
    local = tmp_path / "station.db"
    write_run(tmp_path / "in", "0xC0001", 0)
    run = importer.load_run(str(tmp_path / "in" / "rigChkEx-kept.log"), "S9")
    os.makedirs(tmp_path / "a-folder.db")  # a file SQLite cannot open
    with pytest.raises(OperationalError):
        sync.store_or_keep(f"sqlite:///{tmp_path}/a-folder.db", [run], fallback=f"sqlite:///{local}")
    assert not local.exists()


def own_database(url, name):
    """Returns the URL of a new empty store named name (a file, or a database of the server)."""
    if url.startswith("sqlite"):
        return url.replace("shared.db", f"{name}.db")
    with store.make_engine(url).connect().execution_options(isolation_level="AUTOCOMMIT") as c:
        c.exec_driver_sql(f"CREATE DATABASE {name}")
    return url.replace("/postgres?", f"/{name}?")


def older_store(url):
    """Makes at url a store as it was before it held the files: runs known by chip, device type
    and start time, their logs read from log_path."""
    old = MetaData()
    added = ("log_hash", "aborted", "log_kept")
    old_runs = Table("runs", old, *[Column(c.name, c.type, primary_key=c.primary_key, nullable=c.nullable)
                                    for c in store.runs.columns if c.name not in added],
                     UniqueConstraint("chip", "device_type", "start_time"))
    store.ports.to_metadata(old)
    engine = store.make_engine(url)
    with store.writing(engine) as conn:
        old.create_all(conn)
        store.step_indexes(conn)
    return engine, old_runs


def test_an_older_store_keeps_only_the_logs_still_its_runs(shared, tmp_path):
    url = own_database(shared, "older")
    engine, old_runs = older_store(url)
    # Two boards tested on one place, each run pointing at the place's one kept log: the
    # second board's log overwrote the first's.
    place = tmp_path / "fixture-a"
    write_run(place / "first", "0xF0001", 1)
    write_run(place / "second", "0xF0002", 2)
    first = importer.load_run(str(place / "first" / "rigChkEx-kept.log"), "S1")
    second = importer.load_run(str(place / "second" / "rigChkEx-kept.log"), "S1")
    os.replace(place / "second" / "rigChkEx-kept.log", place / "first" / "rigChkEx-kept.log")
    os.replace(place / "second" / "rigChkEx.js", place / "first" / "rigChkEx.js")
    second.update(log_path=first["log_path"], report_path=first["report_path"])
    linked = dict(first, chip="0xF0003", log_path=str(tmp_path / "link.log"))
    os.symlink(place / "first" / "rigChkEx-kept.log", tmp_path / "link.log")
    with store.writing(engine) as conn:
        for run in (first, second, linked):
            row = {k: v for k, v in store.run_row(run).items() if k in old_runs.c}
            run_id = conn.execute(old_runs.insert().values(**row)).inserted_primary_key[0]
            conn.execute(store.ports.insert(), [dict(p, run_id=run_id, failed=int(p["errors"] > 0))
                                                for p in run["ports"]])
        store.step_units(conn)
        store.metadata.create_all(conn, tables=[store.schema_version])
        conn.execute(store.schema_version.insert(), {"version": 3})
    engine.dispose()
    engine = store.open_db(url)
    with engine.connect() as conn:
        rows = {r.chip: r for r in conn.execute(select(store.runs))}
        assert {c: rows[c].log_kept for c in rows} == {"0xF0001": 0, "0xF0002": 1, "0xF0003": 0}
        assert store.log_text(conn, rows["0xF0001"].id) is None
        assert store.log_text(conn, rows["0xF0002"].id) == second["log_data"].decode()
        assert store.report_text(conn, rows["0xF0002"].id) == second["report_data"].decode()
        assert conn.execute(select(func.count()).select_from(store.ports)).scalar() == 6
    # The first board's log, found again, is that run: its record, not a new one. A new run
    # takes an id after the ones kept.
    assert store.store_runs(engine, [first]) == (0, 1)
    write_run(tmp_path / "third", "0xF0004", 4)
    assert store.store_runs(engine, [importer.load_run(str(tmp_path / "third" / "rigChkEx-kept.log"), "S1")]) == (1, 0)
    with engine.connect() as conn:
        assert conn.execute(select(func.max(store.runs.c.id))).scalar() == 4
    engine.dispose()


def test_a_run_no_server_can_hold_stays_behind_alone(server, tmp_path):
    local = f"sqlite:///{tmp_path}/station.db"
    runs = station_runs(tmp_path, "0xD", 2)
    engine = store.open_db(local)
    assert store.store_runs(engine, runs) == (2, 0)
    with store.writing(engine) as conn:  # as a store filled before imports were bounded holds it
        conn.execute(store.ports.update().where(store.ports.c.run_id == 1).values(successes=3000000000))
    engine.dispose()
    target = own_database(server, "behind")
    out = subprocess.run([sys.executable, RIGRESULTS, "--db", local, "sync", "--to", target],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 1 and "1 runs forwarded, 0 already there, 1 not forwarded" in out.stdout, out
    assert "run 1 not forwarded: a tally beyond 50 tries" in out.stderr


def test_texts_of_any_characters_are_stored_as_read(shared, tmp_path):
    """Names, paths and a port's name holding quotes, backslashes, braces, commas, NULL and
    line breaks (a batch goes to PostgreSQL as one array a column) come back as they went in."""
    texts = ['"', "\\", '\\"', "{a,b}", "NULL", " x ", "a\nb", "é€", "'", "", "%(c0)s", ":t"]
    runs = station_runs(tmp_path, "0xE", len(texts))
    for run, t in zip(runs, texts):
        run.update(station=t, fixture=t + "}", command=t, log_path="/" + t)
        run["ports"][0]["port"] = t
    engine = store.open_db(own_database(shared, "texts"))
    assert store.store_runs(engine, runs) == (len(texts), 0)
    with engine.connect() as conn:
        got = conn.execute(select(store.runs.c.station, store.runs.c.fixture, store.runs.c.command,
                                  store.runs.c.log_path).order_by(store.runs.c.id)).all()
        ports = conn.execute(select(store.ports.c.port).where(store.ports.c.kind == "RS485", store.ports.c.test == "")
                             .order_by(store.ports.c.run_id, store.ports.c.port)).scalars().all()
    assert [tuple(r) for r in got] == [(t, t + "}", t, "/" + t) for t in texts]
    assert [p for p in ports if p != "RS485-2"] == texts
