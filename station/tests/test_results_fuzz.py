# The kept log's and report's parser on any bytes: a run or a clean refusal, never an exception.
import os
import sys

from hypothesis import HealthCheck, given, settings, strategies as st

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from rigresults_lib import parse  # noqa: E402

FUZZ = settings(max_examples=int(os.environ.get("RIGRESULTS_FUZZ_EXAMPLES", "400")), deadline=None,
                database=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow])
LOGS = {name: open(os.path.join(HERE, "data", name, "rigChkEx-kept.log"), "rb").read()
        for name in ("default", "serial-faults", "hostile")}
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
