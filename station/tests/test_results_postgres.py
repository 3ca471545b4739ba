# Several stations, one store: three stations store at once into a new SQLite file and into
# a real PostgreSQL server, and a station that cannot reach the server keeps its runs and
# forwards them later, while a store that fails otherwise is an error, never a detour.
import json
import os
import subprocess
import sys

import pytest
from sqlalchemy import func, select
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


def test_an_offline_station_keeps_its_runs_and_forwards_them(server, tmp_path):
    local = f"sqlite:///{tmp_path}/station.db"
    runs = []
    for i in range(5):
        write_run(tmp_path / "in" / str(i), f"0xB{i:04d}", i)
        runs.append(importer.load_run(str(tmp_path / "in" / str(i) / "rigChkEx-kept.log"), "S9"))
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


def test_a_store_that_fails_once_reached_is_an_error_not_a_detour(tmp_path):
    local = tmp_path / "station.db"
    write_run(tmp_path / "in", "0xC0001", 0)
    run = importer.load_run(str(tmp_path / "in" / "rigChkEx-kept.log"), "S9")
    os.makedirs(tmp_path / "a-folder.db")  # a file SQLite cannot open
    with pytest.raises(OperationalError):
        sync.store_or_keep(f"sqlite:///{tmp_path}/a-folder.db", [run], fallback=f"sqlite:///{local}")
    assert not local.exists()
