# The station's side of the self-test: start it on a board, wait for its
# result, stop it like an operator, read the verdict, the report and the kept
# log back, record one JUnit test case per port, and leave the board as its
# environment says.
import dataclasses
import json
import os
import re
import time
import xml.etree.ElementTree as ET

from labgrid.protocol import CommandProtocol, ConsoleProtocol
from rigresults_lib import files, parse

LOG_DIR = "/NandFlash/tmp"
REPORT = LOG_DIR + "/rigChkEx.js"
KEPT_LOGS = LOG_DIR + "/rigChkEx_*.log"
# The live trace log: what a run that never reached its end leaves.
LIVE_LOG = LOG_DIR + "/rigChkEx.log"
# The trace log's result line, or the port inventory failure.
RESULT_GREP = f"grep -h -e 'iTestSta:' -e 'Err Get Port Info!!!' {LOG_DIR}/rigChkEx*log"
POLL_S = 1.0
# The program's own output goes nowhere while it runs in the background: the
# station's commands share its console, and a line the program printed between a
# command's end and the next prompt would hide that prompt from labgrid, so that
# the command would seem never to end. The log and the report carry the run.
QUIET = ">/dev/null 2>&1"
CTRL_C = b"\x03"
STOP_TIMEOUT_S = 10
# The board's companion command: the verdict, exit 0 PASS, 1 FAIL, 2 no complete run.
VERDICT_COMMAND = "rigchkEx-result"
VERDICT_STATUS = {0: "PASS", 1: "FAIL", 2: "NONE"}
# The environment file's target option with the shell command that leaves the
# board as it should be after the test (reboot, or start its main application).
AFTER_TEST_OPTION = "rig_after_test"
# "12=[RtLog][2026-12-09 04:50:40] RS485-1:Test Succ Cnt 2,Error Cnt 0\t..."
SUMMARY = re.compile(r"^\d+=\[RtLog\]\[[^]]*\] (([^:\t]+):(?:NO |NC )?Test Succ Cnt \d+,Error Cnt \d+)")


def background_command(args):
    """Returns the shell line that starts the self-test in the background of the console's shell."""
    return f"rigchkEx {args} {QUIET} &"


def background_ssh_command(args):
    """Returns the shell line that starts the self-test apart from an SSH session and prints its pid."""
    return f"rigchkEx {args} </dev/null {QUIET} & echo $!"


@dataclasses.dataclass(frozen=True)
class Settings:
    """The station's settings of one run."""
    args: str         # the self-test's arguments
    show_s: float     # seconds the result pattern shows before Ctrl-C
    timeout_s: float  # seconds the self-test has to log its result
    board: str        # the board's name in the results
    out: str          # the board's results folder


def console_of(target):
    """Returns the console the board's shell commands go over; None when they go over SSH."""
    console = getattr(target.get_driver(CommandProtocol), "console", None)
    return console if isinstance(console, ConsoleProtocol) else None


def wait_for_result(shell, timeout_s):
    """Returns the result line once the trace log holds it; raises TimeoutError."""
    end = time.monotonic() + timeout_s
    while time.monotonic() < end:
        lines, _, rc = shell.run(RESULT_GREP, decodeerrors="replace")
        found = [l for l in lines if "iTestSta:" in l or "Err Get Port Info!!!" in l]
        if rc == 0 and found:
            return found[-1]
        time.sleep(POLL_S)
    raise TimeoutError(f"no result line in the trace log within {timeout_s:.0f} s")


def run_on_console(target, args, show_s, timeout_s):
    """Runs the self-test at the console's shell; returns (result line, exit status)."""
    shell = target.get_driver(CommandProtocol)
    console = console_of(target)
    # A result line of an earlier run is never taken for this one.
    shell.run(f"rm -f {REPORT} {LOG_DIR}/rigChkEx*log")
    # In the background while the station polls; "fg" brings it back, so that
    # Ctrl-C reaches it as the operator's would.
    console.sendline(background_command(args))
    console.expect(shell.prompt)
    result = wait_for_result(shell, timeout_s)
    console.sendline("fg")
    time.sleep(show_s)
    console.write(CTRL_C)
    console.expect(shell.prompt, timeout=STOP_TIMEOUT_S)
    console.sendline("echo exit=$?")
    _, _, match, _ = console.expect(r"exit=(\d+)")
    console.expect(shell.prompt)
    return result, int(match.group(1))


def run_over_ssh(target, args, show_s, timeout_s):
    """Runs the self-test over SSH, stopped by SIGINT; returns (result line, exit status)."""
    ssh = target.get_driver(CommandProtocol)
    ssh.run(f"rm -f {REPORT} {LOG_DIR}/rigChkEx*log")
    lines, _, _ = ssh.run(background_ssh_command(args))
    pid = lines[-1].strip()
    result = wait_for_result(ssh, timeout_s)
    time.sleep(show_s)
    ssh.run(f"kill -INT {pid}")
    end = time.monotonic() + STOP_TIMEOUT_S
    while ssh.run(f"kill -0 {pid}")[2] == 0 and time.monotonic() < end:
        time.sleep(POLL_S)
    return result, None  # the exit status belongs to the remote shell


def read_verdict(shell):
    """Returns the board's verdict block and its status name (PASS, FAIL, NONE, or the status)."""
    lines, _, rc = shell.run(VERDICT_COMMAND, decodeerrors="replace")
    return "\n".join(lines) + "\n", VERDICT_STATUS.get(rc, f"status {rc}")


def after_test(target, shell):
    """Runs the environment's last step on the board; returns (command, output, status), or None."""
    command = target.env.config.get_target_option(target.name, AFTER_TEST_OPTION, "") if target.env else ""
    if not command:
        return None
    lines, _, rc = shell.run(command, decodeerrors="replace")
    return command, "\n".join(lines), rc


def read_file(shell, path):
    """Returns the text of a board's file (a glob for one file), or None."""
    lines, _, rc = shell.run(f"cat {path}", decodeerrors="replace")
    return "\n".join(lines) + "\n" if rc == 0 else None


def run_folder(out, board, log_text):
    """Returns the folder of this board's run under out: <board>_<chip>_<start time> from the
    kept log's banner (the station's clock and "unknown" when the log has none), never one
    that holds an earlier run's files."""
    try:
        run = parse.parse_kept_log((log_text or "").encode())
        chip, start = run["chip"], run["start_time"]
    except parse.Refused:
        chip, start = "unknown", time.strftime("%Y-%m-%d %H:%M:%S")
    base = os.path.join(out, files.run_folder_name(board, chip, start))
    folder, n = base, 1
    while os.path.lexists(folder):  # another run of that chip in the same second
        n += 1
        folder = f"{base}.{n}"
    return folder


def keep_files(folder, texts):
    """Writes {name: text} (None: not written) into the run's new folder; returns the folder."""
    os.makedirs(folder)
    for name, text in texts.items():
        if text is not None:
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
    return folder


def ports_of(report_text):
    """Returns [(group, port, passed)] from the report's text."""
    report = json.loads(report_text)
    return [(g["name"], p["name"], p["port"] == 1) for g in report["logDate"] for p in g["info"]]


def summaries_of(log_text):
    """Returns {port: [summary lines]} from the kept log."""
    found = {}
    for line in (log_text or "").splitlines():
        m = SUMMARY.match(line)
        if m:
            found.setdefault(m.group(2), []).append(m.group(1))
    return found


def write_junit(path, board, ports, summaries, result):
    """Writes one JUnit test case per port; a failed port carries its summary lines."""
    failed = [p for p in ports if not p[2]]
    suite = ET.Element("testsuite", name=board, tests=str(len(ports)), failures=str(len(failed)))
    ET.SubElement(ET.SubElement(suite, "properties"), "property", name="result", value=result)
    for group, port, passed in ports:
        case = ET.SubElement(suite, "testcase", classname=f"{board}.{group}", name=port)
        if not passed:
            message = "; ".join(summaries.get(port, ["no summary line in the log"]))
            ET.SubElement(case, "failure", message=message)
    if not ports:
        case = ET.SubElement(suite, "testcase", classname=f"{board}.run", name="inventory")
        ET.SubElement(case, "failure", message=result)
    ET.ElementTree(suite).write(path, encoding="utf-8", xml_declaration=True)
