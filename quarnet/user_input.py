"""Checks of what a user gives: numbers on the command line, and paths before any long step starts."""

import argparse
import errno
import os

from quarnet._scene_rules import require_regular_file


def whole_number(least):
    """argparse type: a whole number of at least `least`."""
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            value = least - 1
        if value < least:
            raise argparse.ArgumentTypeError(f"expected a whole number of at least {least}, got {text!r}")
        return value

    return parse


positive_int = whole_number(1)


def require_folder(path):
    """Raises FileNotFoundError or NotADirectoryError naming `path` unless it is a folder."""
    if not os.path.exists(path):
        raise FileNotFoundError(errno.ENOENT, "no such folder", path)
    if not os.path.isdir(path):
        raise NotADirectoryError(errno.ENOTDIR, "not a folder", path)


def require_readable_file(path):
    """Raises an OSError naming `path` unless it is a regular file this process
    can open for reading, and ValueError ("<path>: a FIFO, not a regular file")
    for a FIFO, socket or device, which is never opened (it could block)."""
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, "a folder, not a file", path)
    require_regular_file(path)


def _number(text, holds, wanted):
    """float(text) when `holds` it, else argparse's error naming what was `wanted`."""
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not holds(value):
        raise argparse.ArgumentTypeError(f"expected {wanted}, got {text!r}")
    return value


def positive_float(text):
    """argparse type: a finite number above 0."""
    return _number(text, lambda v: 0 < v < float("inf"), "a number above 0")


def non_negative_float(text):
    """argparse type: a finite number of at least 0."""
    return _number(text, lambda v: 0 <= v < float("inf"), "a number of at least 0")


def share(text):
    """argparse type: a number above 0 and at most 1."""
    return _number(text, lambda v: 0 < v <= 1, "a number above 0 and at most 1")
