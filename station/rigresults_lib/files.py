"""Reading files an import is given, as hostile input: only regular files, never through
a link out of the folder they belong to, never more than a bound.

read_regular(path, limit, root=None) -> bytes, or raises Refused(reason)
within(path, root) -> whether path, links resolved, lies in the folder root
beneath(path, root) -> whether path lies in the folder root as written
safe_text(text) -> text that any database takes (bytes that were no UTF-8 shown as \\xNN)
run_folder_name(place, chip, start_time) -> the name of a run's own folder
"""
import errno
import os
import re
import stat

from .parse import Refused

# Opened for reading only, without waiting for a FIFO's writer, and never through a
# link in the last component (a link is resolved and checked before).
OPEN_FLAGS = os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0)
CHUNK = 1 << 20


def within(path, root):
    """Returns whether path (its links resolved) lies in the folder root (resolved)."""
    real, top = os.path.realpath(path), os.path.realpath(root)
    return real == top or real.startswith(top.rstrip(os.sep) + os.sep)


def beneath(path, root):
    """Returns whether path, as written (no link resolved), lies in the folder root."""
    path, root = os.path.abspath(path), os.path.abspath(root)
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


def open_unlinked(path, root):
    """Returns a descriptor of path opened with OPEN_FLAGS; a link in its last component
    (the open refuses it) is resolved when it stays within root (given), else refused;
    raises Refused or OSError."""
    try:
        return os.open(path, OPEN_FLAGS)
    except OSError as e:
        if root is None or e.errno != errno.ELOOP or not os.path.islink(path):
            raise
    if not within(path, root):
        raise Refused("a link out of the imported folder")
    return os.open(os.path.realpath(path), OPEN_FLAGS)


def read_regular(path, limit, root=None):
    """Returns the bytes of the regular file at path (at most limit); raises Refused when it
    is a link out of root, no regular file, larger than limit or cannot be read. The folders
    between root and path are taken as they are (an import walks them without following a
    link); a link in the last component is resolved and must stay within root."""
    try:  # without a root, a link is refused: the path alone is trusted, not where it points
        fd = open_unlinked(path, root)
    except OSError as e:
        raise Refused(f"cannot be read: {e.strerror}") from None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise Refused("not a regular file")
        if st.st_size > limit:
            raise Refused(f"larger than {limit} bytes")
        parts, size, want = [], 0, min(st.st_size + 1, limit + 1)
        while want > 0:  # a short read is the end; the file may grow: never past the bound
            part = os.read(fd, want)
            parts.append(part)
            size += len(part)
            want = min(CHUNK, limit + 1 - size) if len(part) == want else 0
        if size > limit:
            raise Refused(f"larger than {limit} bytes")
        return b"".join(parts)
    except OSError as e:
        raise Refused(f"cannot be read: {e.strerror}") from None
    finally:
        os.close(fd)


def safe_text(text):
    """Returns text with undecodable bytes (os's surrogate escapes) shown as \\xNN."""
    if text is None:
        return None
    try:
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:  # a surrogate that no file name's byte gave
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


NAME_PIECE = 64                    # characters of a place or chip in a run folder's name
UNSAFE = re.compile(r"[^A-Za-z0-9.-]")
# A run's folder: <place>_<chip>_<YYYYmmdd-HHMMSS> (the chip's piece holds no "_"), and .N
# for another run of that chip in the same second.
RUN_FOLDER = re.compile(r"(.+)_([^_]*)_([0-9]{8}-[0-9]{6})(?:\.[0-9]+)?\Z")  # .N: a second one


def run_folder_name(place, chip, start_time):
    """Returns the name of a run's own folder: its place, chip and start time, as
    characters safe in any file name ("." leading a piece becomes "_")."""
    def piece(text):
        text = UNSAFE.sub("_", text or "")[:NAME_PIECE]
        return "_" + text[1:] if text.startswith(".") else text or "_"
    stamp = re.sub(r"[^0-9]", "", start_time or "")
    return f"{piece(place)}_{piece(chip).replace('_', '-')}_{stamp[:8]:0<8}-{stamp[8:14]:0<6}"
