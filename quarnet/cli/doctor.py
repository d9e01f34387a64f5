"""quarnet doctor: which native paths run here, and why."""

from quarnet import native_doubles

from .table import print_table

NAME = "doctor"
HELP = "say which native paths run with the libraries installed, and why"
DESCRIPTION = """\
Lists each native double of a library call (quarnet/native_doubles.py): the
call it stands in for, whether it runs in this environment, and why, from the
library versions found against the versions its differential tests prove it
against. Where a double steps aside, the library's own (slower) call runs and
the results are the same. requirements/constraints.txt pins the proven
versions.
"""


def add_arguments(parser):
    pass


def _module_error():
    """Why the segmentation module does not load, or None."""
    try:
        import quarnet.mesh_seg.Tessaron  # noqa: F401
    except Exception as e:
        return f"{type(e).__name__}: {e}"
    return None


def rows():
    """(native path, stands in for, runs, why) per double."""
    broken = _module_error()
    result = []
    for double in native_doubles.DOUBLES.values():
        missing = native_doubles.uncovered(double.name)
        if broken:
            runs, why = "no", f"the module quarnet.mesh_seg.Tessaron does not load ({broken})"
        elif missing:
            runs = "no"
            why = (f"{native_doubles.found_versions(missing)} not proven "
                   f"(proven: {native_doubles.proven_versions(double)}); {double.stands_in_for} runs instead")
        else:
            found = [(library, native_doubles.installed_version(library)) for library in double.proven]
            runs, why = "yes", f"{native_doubles.found_versions(found)} proven"
        result.append((double.name, double.stands_in_for, runs, why))
    return result


def run(args):
    print_table(("native path", "stands in for", "runs", "why"), rows())
    return 0
