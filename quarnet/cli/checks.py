"""Checks of the paths a user gives, before any long step starts."""

import errno
import os


def require_folder(path):
    """Raises FileNotFoundError or NotADirectoryError naming `path` unless it is a folder."""
    if not os.path.exists(path):
        raise FileNotFoundError(errno.ENOENT, "no such folder", path)
    if not os.path.isdir(path):
        raise NotADirectoryError(errno.ENOTDIR, "not a folder", path)


def require_readable_file(path):
    """Raises an OSError naming `path` unless it is a file this process can open for reading."""
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, "a folder, not a file", path)
    with open(path, "rb"):
        pass
