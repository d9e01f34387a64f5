import os

# Open3D's radius-outlier removal fills a std::vector<bool> from a parallel
# loop; tests that assert exact point counts need it single-threaded.
os.environ.setdefault("OMP_NUM_THREADS", "1")


def pytest_addoption(parser):
    parser.addoption("--adopt-installed", action="store_true",
                     help="count the installed library versions as proven for every native double, so that the "
                          "tests expecting a native path run against them (scripts/canary.sh)")


def pytest_collection_modifyitems(config, items):
    # AddressSanitizer's shadow memory and its quarantine of freed blocks
    # (256 MB) make a bound on the peak memory meaningless.
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        import pytest

        skip = pytest.mark.skip(reason="peak memory under AddressSanitizer is its own")
        for item in items:
            if item.get_closest_marker("peak_memory"):
                item.add_marker(skip)


def pytest_configure(config):
    if config.getoption("--adopt-installed"):
        from quarnet import native_doubles

        for double in native_doubles.DOUBLES.values():
            for library, versions in list(double.proven.items()):
                found = native_doubles.installed_version(library)
                if found is not None and found not in versions:
                    double.proven[library] = versions + (found,)
