"""The table of native doubles at work: a library version it does not list
makes a double step aside, with one warning per process however often and
however many doubles are called, and the library's own results; `quarnet doctor` says which
doubles run and why; the constraints file pins the table's versions."""
import contextlib
import io
import os
import re
import warnings

import open3d as o3d
import pytest
import trimesh

from python_calls import entered
from quarnet import native_doubles
from quarnet.cli import main
from quarnet.mesh_seg import Tessaron as T

MESH = trimesh.creation.icosphere(subdivisions=2)
POINTS = MESH.sample(300, seed=3)
CONSTRAINTS = os.path.join(os.path.dirname(__file__), "..", "..", "requirements", "constraints.txt")
# library -> (module, attribute, faked value, the doubles that step aside)
FAKES = {
    "trimesh": ("trimesh", "__version__", "99.0.0", {"face search", "cut"}),
    "rtree": ("rtree", "__version__", "99.0.0", {"face search"}),
    "libspatialindex": ("rtree.index", "__c_api_version__", b"99.0.0", {"face search"}),
    "scipy": ("scipy", "__version__", "99.0.0", {"face search"}),
}


def fake_version(monkeypatch, library):
    import importlib

    module, attribute, value, stepping_aside = FAKES[library]
    monkeypatch.setattr(importlib.import_module(module), attribute, value)
    return stepping_aside


@pytest.mark.parametrize("library", FAKES)
def test_an_unlisted_version_warns_once_per_process_and_the_library_answers(library, monkeypatch):
    monkeypatch.setattr(native_doubles, "_warned", False)
    stepping_aside = fake_version(monkeypatch, library)
    cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(POINTS))
    with warnings.catch_warnings(record=True) as caught, entered(trimesh.proximity.nearby_faces,
                                                                  trimesh.util.submesh) as seen:
        warnings.simplefilter("always")
        with contextlib.redirect_stdout(io.StringIO()):
            for _ in range(3):
                ids = T.find_nearby_faces(MESH, cloud)
                sub, rest = T.save_nearby_faces_as_ply(MESH, ids)
    messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
    aside = [double for name, double in native_doubles.DOUBLES.items() if name in stepping_aside]
    proven = aside[0].proven[library][0]
    assert messages == [  # one, however many doubles step aside
        f"quarnet's native {' and '.join(d.name for d in aside)} {'are' if len(aside) > 1 else 'is'} not proven "
        f"against {library} 99.0.0 (only {library} {proven}); the slower {' and '.join(d.slower_path for d in aside)} "
        f"{'run' if len(aside) > 1 else 'runs'} instead"]
    assert set(seen) == {{"face search": "nearby_faces", "cut": "submesh"}[name] for name in stepping_aside}
    assert ids == [int(f) for g in trimesh.proximity.nearby_faces(MESH, POINTS) for f in g[:20]]
    assert len(sub.faces) + len(rest.faces) == len(MESH.faces)


def doctor_rows():
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert main(["doctor"]) == 0
    lines = out.getvalue().splitlines()
    assert re.split(r"\s{2,}", lines[0]) == ["native path", "stands in for", "runs", "why"]
    return {cells[0]: cells[1:] for cells in (re.split(r"\s{2,}", line) for line in lines[1:])}


@pytest.mark.parametrize("library", [None, *FAKES])
def test_doctor_says_which_doubles_run_and_why(library, monkeypatch):
    stepping_aside = fake_version(monkeypatch, library) if library else set()
    rows = doctor_rows()
    assert list(rows) == list(native_doubles.DOUBLES)
    for name, (stands_in_for, runs, why) in rows.items():
        double = native_doubles.DOUBLES[name]
        assert stands_in_for == double.stands_in_for
        if name in stepping_aside:
            assert runs == "no"
            assert why.startswith(f"{library} 99.0.0 not proven (proven: {native_doubles.proven_versions(double)})")
        elif native_doubles.uncovered(name):
            assert runs == "no"
        else:
            found = ", ".join(f"{lib} {native_doubles.installed_version(lib)}" for lib in double.proven)
            assert (runs, why) == ("yes", f"{found} proven")


def test_the_constraints_pin_the_tables_newest_common_versions():
    with open(CONSTRAINTS) as f:
        pinned = dict(line.strip().split("==") for line in f if line.strip() and not line.startswith("#"))
    assert re.fullmatch(r"\d+\.\d+\.\d+", pinned.pop("pybind11"))  # what the modules are built against
    assert pinned == native_doubles.pins()
    assert set(pinned) == {native_doubles.PACKAGES[library] for double in native_doubles.DOUBLES.values()
                           for library in double.proven}
