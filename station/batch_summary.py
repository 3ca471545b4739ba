#!/usr/bin/python3
"""The batch at a glance: per port, how many boards passed and failed.

    batch_summary.py RESULTS [--out PREFIX]

reads every RESULTS/<board>/ports.xml (the station's JUnit files, one test
case per port) and writes PREFIX.md (a markdown table, also printed) and
PREFIX.png (a bar chart); PREFIX defaults to RESULTS/summary.
"""
import argparse
import glob
import os
import xml.etree.ElementTree as ET

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def tally(results):
    """Returns {port: {"passed": n, "failed": [boards]}} in the order ports first appear."""
    ports = {}
    for path in sorted(glob.glob(os.path.join(results, "*", "ports.xml"))):
        suite = ET.parse(path).getroot()
        for case in suite.iter("testcase"):
            t = ports.setdefault(case.get("name"), {"passed": 0, "failed": []})
            if case.find("failure") is None:
                t["passed"] += 1
            else:
                t["failed"].append(suite.get("name"))
    return ports


def table(ports, boards):
    """Returns the markdown table of the tallies."""
    rows = [f"Batch of {boards} boards", "", "| port | passed | failed | failed on |", "|---|---:|---:|---|"]
    for port, t in ports.items():
        rows.append(f"| {port} | {t['passed']} | {len(t['failed'])} | {', '.join(t['failed'])} |")
    return "\n".join(rows) + "\n"


def chart(ports, boards, path):
    """Writes a horizontal bar chart: per port, passed boards in green and failed in red."""
    names = list(ports)
    passed = [ports[p]["passed"] for p in names]
    failed = [len(ports[p]["failed"]) for p in names]
    fig, ax = plt.subplots(figsize=(7, 0.4 * len(names) + 2))
    ax.barh(names, passed, color="#3a9d3a", label="passed")
    ax.barh(names, failed, left=passed, color="#d03030", label="failed")
    for i, (p, f) in enumerate(zip(passed, failed)):
        if f:
            ax.text(p + f / 2, i, str(f), ha="center", va="center", color="white", fontweight="bold")
    ax.invert_yaxis()
    ax.set_xlim(0, max(boards, 1))
    ax.set_xticks(range(0, max(boards, 1) + 1))
    ax.set_xlabel("boards")
    ax.set_title(f"Self-test per port, batch of {boards} boards")
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=2, frameon=False)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("results")
    ap.add_argument("--out")
    a = ap.parse_args()
    prefix = a.out or os.path.join(a.results, "summary")
    boards = len(glob.glob(os.path.join(a.results, "*", "ports.xml")))
    if boards == 0:
        raise SystemExit(f"batch_summary: no */ports.xml in {a.results}")
    ports = tally(a.results)
    text = table(ports, boards)
    with open(prefix + ".md", "w") as f:
        f.write(text)
    chart(ports, boards, prefix + ".png")
    print(text, end="")
    print(f"chart: {prefix}.png")


if __name__ == "__main__":
    main()
