"""Summary tables on standard output."""


def print_table(headers, rows, right=()):
    """Prints a header line and one line per row, columns two blanks apart;
    the columns whose index is in `right` are right-aligned (numbers)."""
    cells = [list(map(str, headers))] + [list(map(str, row)) for row in rows]
    widths = [max(len(line[i]) for line in cells) for i in range(len(headers))]
    for line in cells:
        print("  ".join(f"{cell:>{w}}" if i in right else f"{cell:<{w}}"
                        for i, (cell, w) in enumerate(zip(line, widths))).rstrip())
