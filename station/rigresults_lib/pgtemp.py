"""A throwaway PostgreSQL server on a Unix socket (no TCP), for the tests and the benchmark.

with temp_server() as url: ...   url: postgresql+psycopg2://rig@/postgres?host=<socket folder>
Raises FileNotFoundError when Debian's PostgreSQL server binaries are not installed.
As root the server runs as the unprivileged user postgres (or nobody).
"""
import contextlib
import glob
import os
import pwd
import shutil
import subprocess
import tempfile

BIN_GLOB = "/usr/lib/postgresql/*/bin/"
START_TIMEOUT_S = 60


def server_bin(name):
    """Returns the newest installed PostgreSQL server program of that name; raises FileNotFoundError."""
    found = sorted(glob.glob(BIN_GLOB + name), key=lambda p: int(p.split("/")[4]))
    if not found:
        raise FileNotFoundError(f"no PostgreSQL server ({BIN_GLOB}{name}); install postgresql")
    return found[-1]


def unprivileged():
    """Returns the command prefix and user the server runs as ([] and None when not root)."""
    if os.geteuid() != 0:
        return [], None
    for name in ("postgres", "nobody"):
        try:
            return ["runuser", "-u", name, "--"], pwd.getpwnam(name)
        except KeyError:
            continue
    raise FileNotFoundError("no unprivileged user (postgres, nobody) to run the server")


@contextlib.contextmanager
def temp_server():
    """Yields the URL of a fresh server; stops it and removes its files afterwards."""
    initdb, pg_ctl = server_bin("initdb"), server_bin("pg_ctl")
    as_user, user = unprivileged()
    root = tempfile.mkdtemp(prefix="rigresults-pg-")
    data, sock = os.path.join(root, "data"), os.path.join(root, "sock")
    os.mkdir(sock)
    if user is not None:
        for path in (root, sock):
            os.chown(path, user.pw_uid, user.pw_gid)
    env = dict(os.environ, LC_ALL="C")
    try:
        subprocess.run(as_user + [initdb, "-D", data, "-U", "rig", "--auth=trust", "-E", "UTF8",
                                  "--no-locale", "-N"], check=True, capture_output=True, env=env)
        subprocess.run(as_user + [pg_ctl, "-D", data, "-l", os.path.join(root, "server.log"), "-w",
                                  "-t", str(START_TIMEOUT_S), "-o",
                                  f"-k {sock} -c listen_addresses= -c max_connections=50", "start"],
                       check=True, capture_output=True, env=env)
        try:
            yield f"postgresql+psycopg2://rig@/postgres?host={sock}"
        finally:
            subprocess.run(as_user + [pg_ctl, "-D", data, "-m", "fast", "-w", "stop"],
                           capture_output=True, env=env)
    finally:
        shutil.rmtree(root, ignore_errors=True)
