"""Writing a file the user named on the command line (a picture, a report).

A regular file, or a name that is free, is replaced atomically: the bytes go
to a temporary file in the same folder that is then renamed over it, so the
file is whole or as it was. What is not a regular file is never replaced:

    a symbolic link        its target is written as above; the link stays
    a character device     written through with a plain open (/dev/null, a terminal)
    a FIFO                 written through when a reader has it open, refused otherwise
    a folder, a block device, a socket    refused
"""

from __future__ import annotations

import errno
import os
import stat
import tempfile

KINDS = {stat.S_ISDIR: "a folder", stat.S_ISBLK: "a block device", stat.S_ISSOCK: "a socket"}


def write_whole(path, data):
    """Writes the bytes `data` to `path`, replacing only a regular file (see
    above). Raises OSError naming `path` for what is refused or fails."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        mode = None  # a free name, or a link to one
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None
    if mode is None or stat.S_ISREG(mode):
        _replace(os.path.realpath(path), data, mode)
    elif stat.S_ISCHR(mode) or stat.S_ISFIFO(mode):
        _write_through(path, data, fifo=stat.S_ISFIFO(mode))
    else:
        kind = next(text for test, text in KINDS.items() if test(mode))
        raise OSError(errno.EEXIST, f"{kind}, not a file to write", path)


def _replace(target, data, mode):
    folder = os.path.dirname(target)
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, "No such file or directory", folder)
    fd, temp = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(target)}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            if mode is None:
                umask = os.umask(0)
                os.umask(umask)
                mode = 0o666 & ~umask  # the mode a plain open() gives
            os.fchmod(f.fileno(), stat.S_IMODE(mode))
            f.write(data)
        os.replace(temp, target)
    except BaseException:
        if os.path.exists(temp):
            os.unlink(temp)
        raise


def _write_through(path, data, fifo):
    try:
        # A FIFO opened without waiting: ENXIO at once when no one reads it.
        fd = os.open(path, os.O_WRONLY | (os.O_NONBLOCK if fifo else 0))
    except OSError as e:
        if e.errno == errno.ENXIO and fifo:
            raise OSError(errno.ENXIO, "a FIFO that no one reads, nothing written", path) from None
        raise OSError(e.errno, e.strerror, path) from None
    try:
        os.set_blocking(fd, True)
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None
    finally:
        os.close(fd)
