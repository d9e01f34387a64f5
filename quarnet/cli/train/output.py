"""What a training printed where it ran elsewhere: caught in files as it is
written, and copied to this process's streams in chunks, never whole in
memory."""

import codecs
import contextlib
import io
import os
import sys
import threading

CHUNK = 1 << 20  # bytes per copy

# The standard streams belong to the whole process: one capture at a time.
_CAPTURE = threading.Lock()


def _flush(stream):
    with contextlib.suppress(Exception):
        stream.flush()


def _dup(fd):
    try:
        return os.dup(fd)
    except OSError:
        return None  # not open in this process


def _text_on(fd):
    return io.TextIOWrapper(io.FileIO(fd, "w", closefd=False), encoding="utf-8", errors="backslashreplace",
                            write_through=True)


@contextlib.contextmanager
def captured(out, err):
    """Points file descriptors 1 and 2, and sys.stdout and sys.stderr, at the
    binary files `out` and `err`: the trainer's child processes are caught as
    well as its prints, in the order they were written."""
    with _CAPTURE:
        _flush(sys.stdout)
        _flush(sys.stderr)
        streams, saved = (sys.stdout, sys.stderr), (_dup(1), _dup(2))
        os.dup2(out.fileno(), 1)
        os.dup2(err.fileno(), 2)
        sys.stdout, sys.stderr = _text_on(1), _text_on(2)
        try:
            yield
        finally:
            _flush(sys.stdout)
            _flush(sys.stderr)
            sys.stdout, sys.stderr = streams
            for fd, copy in zip((1, 2), saved):
                if copy is None:
                    os.close(fd)
                else:
                    os.dup2(copy, fd)
                    os.close(copy)


def copy_chunks(chunks, stream):
    """Writes the byte strings of `chunks` to the text stream `stream`:
    through its binary buffer where it has one, else decoded as UTF-8."""
    stream.flush()
    binary = getattr(stream, "buffer", None)
    decoder = None if binary is not None else codecs.getincrementaldecoder("utf-8")("backslashreplace")
    for chunk in chunks:
        if binary is not None:
            binary.write(chunk)
        else:
            stream.write(decoder.decode(chunk))
    if decoder is not None:
        stream.write(decoder.decode(b"", final=True))
    stream.flush()


def file_chunks(f):
    f.seek(0)
    return iter(lambda: f.read(CHUNK), b"")


class OpenFiles:
    """A training's standard output and error, in two open files of this process."""

    def __init__(self, out, err):
        self._files = (out, err)

    def copy_to(self, stdout, stderr):
        """Copies the output to `stdout` and the errors to `stderr`, then closes the files."""
        try:
            for f, stream in zip(self._files, (stdout, stderr)):
                copy_chunks(file_chunks(f), stream)
        finally:
            for f in self._files:
                f.close()
