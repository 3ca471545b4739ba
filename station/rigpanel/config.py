"""The station file: the station's places and settings (YAML).

    station: ST-1                  # the station's name in the results store (default: this machine's)
    db: sqlite:///results.db       # the results store's URL (default: the station's own store)
    args: Port=All Cnt=1           # the program's arguments
    serial: optional               # the label's serial: required, optional or none
    show_s: 3                      # seconds the result pattern shows before Ctrl-C
    places:
      - name: fixture-1            # letters, digits, ".", "_", "-"
        env: env/fixture-1.yaml    # its labgrid environment file (relative to this file)
        target: main               # its labgrid target (default main)
        answer_s: 60               # the board's shell answers within this
        timeout_s: 300             # the program logs its result within this

load(path, version) -> (Settings, [places.Place]); raises BadStation(reason) for a file that is
    not such a station file.
"""
import dataclasses
import os
import re
import socket

import yaml

from . import places

MAX_FILE_BYTES = 1 << 20
MAX_PLACES = 32
NAME = re.compile(r"[A-Za-z0-9._-]{1,40}\Z")
ARGS = re.compile(r"[A-Za-z0-9=: ]{0,80}\Z")   # what the program's command line takes, nothing for a shell
SERIAL_RULES = ("required", "optional", "none")
DEFAULT_ANSWER_S = 60
DEFAULT_TIMEOUT_S = 300
MAX_LIMIT_S = 24 * 3600


class BadStation(Exception):
    """A station file that cannot be used; str() is why."""


@dataclasses.dataclass(frozen=True)
class Settings:
    station: str
    db: str              # None: the station's own store
    args: str
    serial: str          # required, optional, none
    show_s: float
    version: str         # the station software's version


def number(value, what, low, high):
    """Returns value as a float within [low, high]; raises BadStation."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not low <= value <= high:
        raise BadStation(f"{what} must be a number from {low} to {high}")
    return float(value)


def load(path, version):
    """Returns (Settings, places) from the station file at path."""
    try:
        if os.path.getsize(path) > MAX_FILE_BYTES:
            raise BadStation("larger than 1 MiB")
        with open(path, encoding="utf-8") as f:
            data = yaml.safe_load(f)
    except (OSError, UnicodeDecodeError, yaml.YAMLError) as e:
        raise BadStation(f"cannot be read: {e}") from None
    if not isinstance(data, dict):
        raise BadStation("not a mapping of settings")
    args = data.get("args", "Port=All Cnt=1")
    if not isinstance(args, str) or not ARGS.match(args):
        raise BadStation("args holds characters the program's arguments never do")
    serial = data.get("serial", "optional")
    if serial not in SERIAL_RULES:
        raise BadStation(f"serial must be one of {', '.join(SERIAL_RULES)}")
    db = data.get("db")
    if db is not None and not isinstance(db, str):
        raise BadStation("db must be a URL")
    station = str(data.get("station") or socket.gethostname())
    settings = Settings(station=station, db=db, args=args, serial=serial,
                        show_s=number(data.get("show_s", 3), "show_s", 0, 60), version=version)
    found = data.get("places")
    if not isinstance(found, list) or not 1 <= len(found) <= MAX_PLACES:
        raise BadStation(f"places must list 1 to {MAX_PLACES} places")
    here = os.path.dirname(os.path.abspath(path))
    out, names = [], set()
    for i, p in enumerate(found, 1):
        if not isinstance(p, dict) or not isinstance(p.get("name"), str) or not NAME.match(p["name"]):
            raise BadStation(f"place {i}: a name of letters, digits, '.', '_' and '-' (up to 40)")
        if p["name"] in names:
            raise BadStation(f"place {p['name']} is listed twice")
        names.add(p["name"])
        if not isinstance(p.get("env"), str):
            raise BadStation(f"place {p['name']}: no environment file (env)")
        out.append(places.Place(
            name=p["name"], env_file=os.path.join(here, p["env"]), target=str(p.get("target", "main")),
            answer_s=number(p.get("answer_s", DEFAULT_ANSWER_S), f"place {p['name']}: answer_s", 1, MAX_LIMIT_S),
            timeout_s=number(p.get("timeout_s", DEFAULT_TIMEOUT_S), f"place {p['name']}: timeout_s", 1,
                             MAX_LIMIT_S)))
    return settings, out
