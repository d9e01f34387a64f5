"""The native doubles of library calls, declared: for each, the call it stands
in for, what runs when it steps aside, and the library versions its
differential tests prove it against.

A double runs only where every library it depends on is installed at a version
listed here; otherwise the library's own call runs, and the first such call of
the process warns once (one RuntimeWarning naming the doubles that step aside,
the libraries and versions found and the slower paths). The gate of the
extension modules, the tests' expectations, requirements/constraints.txt and
``quarnet doctor`` all read this table.
Adopting a new release after the canary (scripts/canary.sh) passes on it is
one more version in a line below.
"""

from __future__ import annotations

import importlib
import warnings
from dataclasses import dataclass


@dataclass(frozen=True)
class NativeDouble:
    name: str
    stands_in_for: str
    slower_path: str
    proven: dict  # library -> the versions proven, oldest first


DOUBLES = {
    double.name: double
    for double in (
        # The query's candidates come from an R-tree built like libspatialindex's
        # bulk load with rtree's properties, so their order depends on both;
        # the boxes' sizes are SciPy's k-d tree's nearest-vertex distances.
        NativeDouble("face search", "trimesh.proximity.nearby_faces",
                     "trimesh.proximity.nearby_faces (rtree's R-tree, built in Python at every call)",
                     {"trimesh": ("5.2.0",), "rtree": ("1.4.1",), "libspatialindex": ("2.1.0",), "scipy": ("1.17.1",)}),
        NativeDouble("cut", "trimesh.Trimesh.submesh", "trimesh.Trimesh.submesh (numpy's sorts for the sub-mesh and the remainder)",
                     {"trimesh": ("5.2.0",)}),
    )
}

# Where each library tells its version, and the pip package that brings it.
VERSION_ATTRIBUTES = {
    "trimesh": ("trimesh", "__version__"),
    "rtree": ("rtree", "__version__"),
    "libspatialindex": ("rtree.index", "__c_api_version__"),
    "scipy": ("scipy", "__version__"),
}
PACKAGES = {"trimesh": "trimesh", "rtree": "rtree", "libspatialindex": "rtree", "scipy": "scipy"}

_warned = False


def installed_version(library):
    """The version of `library` as this process has it, or None where it cannot
    be imported (or tells no version)."""
    module_name, attribute = VERSION_ATTRIBUTES[library]
    try:
        module = importlib.import_module(module_name)
    except Exception:
        return None
    version = getattr(module, attribute, None)
    if isinstance(version, bytes):
        version = version.decode("ascii", "replace")
    return version if isinstance(version, str) else None


def uncovered(name):
    """[(library, version found)] of the double `name` that the table does not
    list as proven (empty when the double may run)."""
    return [(library, found) for library, versions in DOUBLES[name].proven.items()
            if (found := installed_version(library)) not in versions]


def covered(name):
    """Whether the double `name` may run with the libraries installed. The
    first double of the process that may not warns once, for every double
    that steps aside."""
    global _warned
    missing = uncovered(name)
    if missing and not _warned:
        _warned = True
        warnings.warn(stepping_aside(), RuntimeWarning, stacklevel=2)
    return not missing


def stepping_aside():
    """"quarnet's native face search and cut are not proven against trimesh
    5.3.0 (only trimesh 5.2.0); the slower ... and ... run instead": the
    doubles that step aside with the libraries installed, and why."""
    aside = [double for double in DOUBLES.values() if uncovered(double.name)]
    found = list(dict.fromkeys(pair for double in aside for pair in uncovered(double.name)))
    only = ", ".join(f"{library} {' or '.join(dict.fromkeys(v for d in aside for v in d.proven.get(library, ())))}"
                     for library, _ in found)
    several = len(aside) > 1
    return (f"quarnet's native {' and '.join(d.name for d in aside)} {'are' if several else 'is'} not proven against "
            f"{found_versions(found)} (only {only}); the slower {' and '.join(d.slower_path for d in aside)} "
            f"{'run' if several else 'runs'} instead")


def found_versions(pairs):
    """'trimesh 5.3.0, rtree not installed' for (library, version found) pairs."""
    return ", ".join(f"{library} {version or 'not installed'}" for library, version in pairs)


def proven_versions(double):
    """'trimesh 5.2.0, rtree 1.4.1, ...' for one double."""
    return ", ".join(f"{library} {' or '.join(versions)}" for library, versions in double.proven.items())


def pins():
    """{pip package: version}: for every package the doubles depend on, the
    newest version that every double depending on it is proven against, as
    requirements/constraints.txt pins it."""
    common = {}
    for double in DOUBLES.values():
        for library, versions in double.proven.items():
            if PACKAGES[library] == library:
                common[library] = common.get(library, set(versions)) & set(versions)
    return {library: max(versions, key=_release) for library, versions in common.items() if versions}


def _release(version):
    return tuple(int(part) if part.isdigit() else -1 for part in version.split("."))
