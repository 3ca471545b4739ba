# The station's run of the self-test on one board (labgrid environment --lg-env).
import os

import rigstation
from labgrid.protocol import CommandProtocol


def test_selftest(target, station, ended):
    run = rigstation.run_on_console if rigstation.console_of(target) else rigstation.run_over_ssh
    result, status = run(target, station.args, station.show_s, station.timeout_s)
    ended["exit_status"] = status
    shell = target.get_driver(CommandProtocol)
    verdict, verdict_status = rigstation.read_verdict(shell)
    report = rigstation.read_file(shell, rigstation.REPORT)
    log = rigstation.read_file(shell, rigstation.KEPT_LOGS)
    after = rigstation.after_test(target, shell)

    # The run's record in a folder of its own; the board's folder keeps the last run's outcome.
    os.makedirs(station.out, exist_ok=True)
    outcome = {"verdict.txt": verdict,
               "after-test.txt": after and f"$ {after[0]}\n{after[1]}\nstatus {after[2]}\n"}
    ended["run_dir"] = rigstation.keep_files(rigstation.run_folder(station.out, station.board, log),
                                             dict(outcome, **{"rigChkEx.js": report, "rigChkEx-kept.log": log}))
    for name, text in outcome.items():
        if text is not None:
            with open(os.path.join(station.out, name), "w") as f:
                f.write(text)
    assert report is not None, f"no report on the board; the log's result: {result}"
    ports = rigstation.ports_of(report)
    summaries = rigstation.summaries_of(log)
    rigstation.write_junit(os.path.join(station.out, "ports.xml"), station.board, ports, summaries, result)

    assert status in (0, None), f"rigchkEx ended with status {status}"
    assert after is None or after[2] == 0, f"the last step \"{after[0]}\" ended with status {after[2]}"
    failed = [f"{port}: {'; '.join(summaries.get(port, []))}" for _, port, ok in ports if not ok]
    # The board's own verdict and the station's reading of the report agree.
    expected = "PASS" if not failed and "iTestSta:0" in result else "FAIL"
    assert verdict_status == expected, f"{rigstation.VERDICT_COMMAND} says {verdict_status}, the report {expected}:\n{verdict}"
    assert ports and not failed, f"{result}; failed: {failed}"
