"""Errors as the user sees them: one line naming the file or address."""

import os

PROGRAM = "quarnet"


class UserError(Exception):
    """An error whose message the command composed for the user: shown without its type."""


def describe(exc):
    """One line for the user: the error's message with the file it names and its notes."""
    if isinstance(exc, OSError) and exc.filename is not None:
        text = f"{os.fsdecode(exc.filename)}: {exc.strerror or exc}"
        if exc.filename2 is not None:
            text += f" -> {os.fsdecode(exc.filename2)}"
    else:
        text = str(exc)
        if not isinstance(exc, (OSError, ValueError, UserError)) or not text:
            text = f"{type(exc).__name__}: {text}" if text else type(exc).__name__
    notes = [str(n) for n in getattr(exc, "__notes__", ())]
    if notes:
        text += f" ({'; '.join(notes)})"
    return " ".join(line.strip() for line in text.splitlines() if line.strip())


def error_line(exc, program=PROGRAM):
    return f"{program}: error: {describe(exc)}"
