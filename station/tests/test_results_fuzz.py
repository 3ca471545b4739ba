# The kept log's and report's parser on any bytes, and the import on any folder of files:
# a run or a clean refusal, never an exception, a hang or a file from outside the folder.
import os
import sys
import tempfile

from hypothesis import HealthCheck, given, settings, strategies as st
from sqlalchemy import select

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from rigresults_lib import importer, parse, store  # noqa: E402

FUZZ = settings(max_examples=int(os.environ.get("RIGRESULTS_FUZZ_EXAMPLES", "400")), deadline=None,
                database=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow])
LOGS = {name: open(os.path.join(HERE, "data", name, "rigChkEx-kept.log"), "rb").read()
        for name in ("default", "serial-faults", "hostile", "modem")}
REPORTS = {name: open(os.path.join(HERE, "data", name, "rigChkEx.js"), "rb").read() for name in LOGS}


def read(log, report):
    """Parses a log and its report; returns the run, None or the refusal."""
    try:
        run = parse.parse_kept_log(log)
        return parse.apply_report(run, report) if report is not None else run
    except parse.Refused as e:
        assert str(e)
        return e


@st.composite
def mutated(draw):
    """A real log and report with bytes replaced, inserted or cut, and lines dropped or doubled."""
    name = draw(st.sampled_from(sorted(LOGS)))
    texts = []
    for data in (LOGS[name], REPORTS[name]):
        data = bytearray(data)
        for _ in range(draw(st.integers(0, 4))):
            at = draw(st.integers(0, len(data)))
            op = draw(st.sampled_from(["replace", "insert", "cut", "line"]))
            chunk = draw(st.binary(max_size=8))
            if op == "replace":
                data[at:at + len(chunk)] = chunk
            elif op == "insert":
                data[at:at] = chunk
            elif op == "cut":
                del data[at:]
            else:
                lines = bytes(data).split(b"\n")
                i = at % len(lines)
                lines[i:i + 1] = draw(st.sampled_from([[], [lines[i], lines[i]]]))
                data = bytearray(b"\n".join(lines))
        texts.append(bytes(data))
    return texts


@FUZZ
@given(st.binary(max_size=2048), st.one_of(st.none(), st.binary(max_size=512)))
def test_any_bytes_give_a_run_or_a_refusal(log, report):
    read(log, report)


@FUZZ
@given(mutated())
def test_mutated_real_runs_give_a_run_or_a_refusal(texts):
    run = read(*texts)
    if isinstance(run, dict):
        assert run["chip"] and len(run["start_time"]) == 19
        assert all(p["successes"] >= 0 and p["errors"] >= 0 for p in run["ports"])


OUTSIDE_CHIP = "0x0075751DE"
FILE_NAMES = ["rigChkEx-kept.log", "rigChkEx_h_t.log", "rigChkEx.log", "rigChkEx.js", "exit_status"]
FOLDER_NAMES = ["a", "NandFlash", "tmp", "x-20261209-130000-1", "\udcff\udcfe", "d" * 200]
KINDS = ["mutated", "good", "link-out", "link-dir-out", "link-in", "loop", "fifo", "huge"]


@st.composite
def folders(draw):
    """A folder of files of every kind at any depth: [(folder parts, name, kind, mutated bytes)]."""
    entries = []
    for _ in range(draw(st.integers(1, 8))):
        depth = draw(st.sampled_from([0, 1, 2, 3, 40]))
        parts = [draw(st.sampled_from(FOLDER_NAMES)) for _ in range(depth)]
        entries.append((parts, draw(st.sampled_from(FILE_NAMES)), draw(st.sampled_from(KINDS)),
                        draw(mutated())[0]))
    return entries


def make_folder(top, outside, entries):
    """Writes the entries under top; returns the chips of the good runs, each alone in its folder."""
    good = []
    for i, (parts, name, kind, data) in enumerate(entries):
        folder = os.path.join(top, *parts, f"e{i}")
        try:
            os.makedirs(folder)
        except OSError:  # a path too long for the file system: not written
            continue
        path = os.path.join(folder, name)
        if kind == "good":
            chip = f"0x{i:08X}"
            data = LOGS["default"].replace(b"iMx6ull:0x2A1B3C4D", b"iMx6ull:" + chip.encode())
            path = os.path.join(folder, "rigChkEx-kept.log")
            good.append(chip)
        if kind in ("mutated", "good"):
            with open(path, "wb") as f:
                f.write(data)
        elif kind == "link-out":
            os.symlink(os.path.join(outside, "rigChkEx-kept.log"), path)
        elif kind == "link-dir-out":
            os.symlink(outside, os.path.join(folder, "out"))
        elif kind == "link-in":
            os.symlink(top, path)
        elif kind == "loop":
            os.symlink(path, path)
        elif kind == "fifo":
            os.mkfifo(path)
        else:
            os.truncate(os.open(path, os.O_CREAT | os.O_WRONLY), store.MAX_FILE_BYTES + 1)
    return good


@settings(FUZZ, max_examples=max(10, FUZZ.max_examples // 8))
@given(folders())
def test_any_folder_gives_runs_and_refusals_never_a_hang_or_a_file_from_elsewhere(entries):
    with tempfile.TemporaryDirectory() as work:
        outside, top = os.path.join(work, "outside"), os.path.join(work, "in")
        os.makedirs(outside)
        with open(os.path.join(outside, "rigChkEx-kept.log"), "wb") as f:
            f.write(LOGS["default"].replace(b"iMx6ull:0x2A1B3C4D", b"iMx6ull:" + OUTSIDE_CHIP.encode()))
        os.makedirs(top)
        good = make_folder(top, outside, entries)
        engine = store.open_db(f"sqlite:///{work}/r.db")
        try:
            new, already, refused = importer.import_paths(engine, [top], "st", progress=False)
            with engine.connect() as conn:
                chips = set(conn.execute(select(store.runs.c.chip)).scalars())
        finally:
            engine.dispose()
    assert OUTSIDE_CHIP not in chips and set(good) <= chips
    assert all(reason for _, reason in refused)
