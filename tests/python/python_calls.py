"""Which library functions' Python code runs: the native paths' tests assert
that trimesh's (or numpy's) own code never ran, or that it did."""
import contextlib
import sys


@contextlib.contextmanager
def entered(*functions):
    """Records the names of the given Python functions (numpy dispatchers
    included) as they are entered inside the block."""
    codes = {getattr(f, "_implementation", f).__code__ for f in functions}
    seen = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code in codes:
            seen.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        yield seen
    finally:
        sys.setprofile(None)
