"""Summary tables on standard output."""

import unicodedata


def shown(value):
    """str(value) on one line of a terminal: a control character, a line or
    paragraph separator, or a byte of a name that is not UTF-8 (a surrogate
    escape) is shown escaped, as \\n, \\t, \\x1b, \\xff."""
    return "".join(_escaped(c) if unicodedata.category(c) in ("Cc", "Zl", "Zp", "Cs") else c
                   for c in str(value))


def _escaped(c):
    if 0xDC80 <= ord(c) <= 0xDCFF:  # os.fsdecode's stand-in for an undecodable byte
        return f"\\x{ord(c) - 0xDC00:02x}"
    return repr(c)[1:-1]


def print_table(headers, rows, right=()):
    """Prints a header line and one line per row, columns two blanks apart;
    the columns whose index is in `right` are right-aligned (numbers)."""
    cells = [list(map(shown, headers))] + [list(map(shown, row)) for row in rows]
    widths = [max(len(line[i]) for line in cells) for i in range(len(headers))]
    for line in cells:
        print("  ".join(f"{cell:>{w}}" if i in right else f"{cell:<{w}}"
                        for i, (cell, w) in enumerate(zip(line, widths))).rstrip())
