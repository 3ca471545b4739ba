"""Serves the panel of a station file:
    /usr/bin/python3 station/rigpanel --station FILE [--port 8080] [--host 127.0.0.1] [--db URL]
"""
import argparse
import os
import re
import subprocess
import sys

STATION_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(STATION_DIR)
sys.path.insert(0, STATION_DIR)

from rigpanel import app, config, guard  # noqa: E402

VERSION_LINE = re.compile(r"project\(\S+ VERSION (\S+)")
GIT_S = 5


def station_version():
    """Returns the station software's version: the project's, and its commit where known."""
    version = "unknown"
    try:
        with open(os.path.join(REPO, "CMakeLists.txt")) as f:
            m = VERSION_LINE.search(f.read(4096))
            version = m.group(1) if m else version
        commit = subprocess.run(["git", "-C", REPO, "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, timeout=GIT_S).stdout.strip()
        return f"{version}+{commit}" if commit else version
    except (OSError, subprocess.SubprocessError):
        return version


def main(argv=None):
    """Serves the panel until interrupted; returns the exit status."""
    ap = argparse.ArgumentParser(prog="rigpanel", description="the station's operator panel")
    ap.add_argument("--station", required=True, help="the station file (YAML)")
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--host", default="127.0.0.1", help="the address served on (default 127.0.0.1)")
    ap.add_argument("--db", help="the results store's URL (default: the station file's, else the station's own)")
    args = ap.parse_args(argv)
    try:
        settings, places = config.load(args.station, station_version())
    except config.BadStation as e:
        print(f"rigpanel: {args.station}: {e}", file=sys.stderr)
        return 2
    if args.db:
        settings = config.dataclasses.replace(settings, db=args.db)
    import waitress
    application = app.make_app(settings, places, guard.host_names(args.host))
    print(f"rigpanel: {len(places)} places on http://{args.host}:{args.port}/", flush=True)
    waitress.serve(application, host=args.host, port=args.port, threads=8)
    return 0


if __name__ == "__main__":
    sys.exit(main())
