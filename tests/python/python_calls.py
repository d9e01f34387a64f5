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


def expect_native(name):
    """Skips the calling test, naming the versions, unless the table of native
    doubles lists the installed libraries as proven for the double `name`."""
    import pytest

    from quarnet import native_doubles

    missing = native_doubles.uncovered(name)
    if missing:
        pytest.skip(f"the native {name} is not proven against "
                    + ", ".join(f"{library} {version or '(not installed)'}" for library, version in missing))
