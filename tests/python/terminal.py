"""Standard output as a C.UTF-8 terminal has it."""
import io
import sys


def escaped_stdout(monkeypatch):
    """Replaces sys.stdout with a UTF-8 stream that prints names that are not UTF-8 as their
    bytes (surrogateescape); returns a function giving what was printed. Call it inside the
    test: pytest's own capture replaces sys.stdout between a test's phases."""
    out = io.TextIOWrapper(io.BytesIO(), encoding="utf-8", errors="surrogateescape", write_through=True)
    monkeypatch.setattr(sys, "stdout", out)
    return lambda: out.buffer.getvalue().decode("utf-8", "surrogateescape")
