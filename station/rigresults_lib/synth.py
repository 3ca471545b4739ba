"""Synthetic runs in the exact format of the self-test's kept log and report, for the
tests and the benchmark.

kept_log(chip, host, start, ports, tries=1, kinds=7) -> bytes of a kept log
report(host, start, ports, kinds=7) -> bytes of its rigChkEx.js
ports: [{"kind": "RS485"|"RS232"|"DO"|"DI", "port": name, "test": ""|"NO"|"NC",
         "successes": n, "errors": n}], serial ports as one row, DO/DI channels as
         an NO and an NC row, in the summary's order (RS485, RS232, DO NO, DO NC, DI NO, DI NC).
"""
from .parse import ASTERISKS, json_escaped, port_verdicts

BUILD = "Sep 16 2022 13:47:50"
VERSION = "1.0.0.2"
SEL = {"RS485": 4, "RS232": 2, "DO": 1, "DI": 1}


def kept_log(chip, host, start, ports, tries=1, kinds=7):
    """Returns a kept log of one run with the given tallies."""
    count = {k: len({p["port"] for p in ports if p["kind"] == k}) for k in SEL}
    body = [("cat /sys/fsl_otp/HW_OCOTP_CFG1 | tr -d '\\n'...", "selftest/global.cpp Getimx6ullID line=26"),
            (f"rigchkEx  Port=All Cnt={tries}", "selftest/main.cpp main line=98")]
    body += [(m, "selftest/main.cpp main line=99") for m in (
        ASTERISKS, f"hostname:{host}", f"DateTime:{start}", f"Build:{BUILD}",
        f"Version:{VERSION}", f"iMx6ull:{chip}", ASTERISKS)]
    body += [(m, "selftest/main.cpp main line=144") for m in (
        f"@:nTestCnt:{tries}", f"@:iPortSelect:{kinds}", "***Load Port Info:***",
        f"@:RS485 Cnt:{count['RS485']}", f"@:RS232 Cnt:{count['RS232']}",
        f"@:DO Cnt:{count['DO']}", f"@:DI Cnt:{count['DI']}")]
    body.append(("***************** test *******************", "selftest/runseq.cpp main line=132"))
    for p in ports:
        if kinds & SEL[p["kind"]]:
            test = p["test"] + " " if p["test"] else ""
            body.append((f"{p['port']}:{test}Test Succ Cnt {p['successes']},Error Cnt {p['errors']}",
                         "selftest/runseq.cpp main line=89"))
    failed = any(v == 0 for k, _, v in port_verdicts({"ports": ports}) if kinds & SEL[k])
    body.append((f"iTestSta:{-1 if failed else 0}", "selftest/main.cpp main line=159"))
    return "".join(f"{i}=[RtLog][{start}] {m}\t{w}\n" for i, (m, w) in enumerate(body)).encode()


def report(host, start, ports, kinds=7):
    """Returns the report of one run with the given tallies."""
    verdicts = port_verdicts({"ports": ports})
    text = ('{"rigchkEx":"testData","DevType":"' + json_escaped(host) + '","DateTime":"' + start +
            '" ,"logDate":[')
    groups = (("RS485", '{"name":"RS485","info":['), ("RS232", '{ "name":"RS232", "info":[ '),
              ("DO", '{ "name":"DO", "info":[ '), ("DI", '{ "name":"DI", "info":[ '))
    for kind, opening in groups:
        if kinds & SEL[kind]:
            entries = [f'{{"name":"{json_escaped(p)}","port":{v}}}' for k, p, v in verdicts if k == kind]
            text += opening + ",".join(entries) + "]},"
    return (text[:-1] + " " if text.endswith(",") else text).encode() + b"]}"
