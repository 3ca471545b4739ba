# The station's run of the self-test on one board (labgrid environment --lg-env).
import os

import rigstation


def test_selftest(target, station):
    drivers = [type(d).__name__ for d in target.drivers]
    run = rigstation.run_on_console if "ShellDriver" in drivers else rigstation.run_over_ssh
    result, status = run(target, station["args"], station["show_s"], station["timeout_s"])
    station["exit_status"] = status
    shell = target.get_driver("CommandProtocol")
    report = rigstation.read_file(shell, rigstation.REPORT)
    log = rigstation.read_file(shell, rigstation.KEPT_LOGS)

    os.makedirs(station["out"], exist_ok=True)
    for name, text in (("rigChkEx.js", report), ("rigChkEx-kept.log", log)):
        if text is not None:
            with open(os.path.join(station["out"], name), "w") as f:
                f.write(text)
    assert report is not None, f"no report on the board; the log's result: {result}"
    ports = rigstation.ports_of(report)
    summaries = rigstation.summaries_of(log)
    rigstation.write_junit(os.path.join(station["out"], "ports.xml"), station["board"], ports, summaries, result)

    assert status in (0, None), f"rigchkEx ended with status {status}"
    failed = [f"{port}: {'; '.join(summaries.get(port, []))}" for _, port, ok in ports if not ok]
    assert ports and not failed, f"{result}; failed: {failed}"
