"""Whether the scene mesh fits the depth maps (quarnet.mesh_fit): the native
distances against Open3D's, true scenes (noisy ones too) against wrong meshes."""
import os

import numpy as np
import open3d as o3d
import pytest
import trimesh

from quarnet import mesh_fit
from quarnet.sample import build_sample_scene
from quarnet.testing.scenes import cleaned_clouds, roughen, stacked_scene


@pytest.mark.parametrize("reach", [0.05, 0.3, 1.0])
def test_distances_are_open3ds_within_the_reach(reach):
    rng = np.random.default_rng(3)
    mesh = trimesh.creation.icosphere(subdivisions=3)
    mesh.vertices += rng.normal(0, 0.02, mesh.vertices.shape)
    points = rng.uniform(-1.6, 1.6, (3000, 3))
    scene = o3d.t.geometry.RaycastingScene()
    scene.add_triangles(o3d.core.Tensor(mesh.vertices.astype(np.float32)), o3d.core.Tensor(mesh.faces.astype(np.uint32)))
    exact = scene.compute_distance(o3d.core.Tensor(points.astype(np.float32))).numpy()
    found = mesh_fit.distances(mesh, points, reach)
    inside = exact < reach - 1e-5
    assert inside.any() and (~inside).any()
    np.testing.assert_allclose(found[inside], exact[inside], atol=2e-6)
    assert np.isinf(found[exact > reach + 1e-5]).all()


@pytest.fixture(scope="module")
def scenes(tmp_path_factory):
    root = tmp_path_factory.mktemp("fit")
    options = dict(faces=20000, views=12, objects=4)
    scene = build_sample_scene(root / "true", 0, **options)
    noisy = roughen(build_sample_scene(root / "noisy", 0, **options), seed=1)
    stacked = roughen(stacked_scene(root / "stacked", 2, **options), seed=2)
    other = build_sample_scene(root / "other", 1, **options)
    return {"true": scene, "noisy": noisy, "stacked": stacked, "other": other}


@pytest.mark.parametrize("name", ["true", "noisy", "stacked"])
def test_the_mesh_the_depth_maps_come_from_fits(scenes, name):
    scene = scenes[name]
    clouds, names = cleaned_clouds(scene)
    assert len(names) == 4
    fit = mesh_fit.measure(trimesh.load(scene.mesh_file, process=False), clouds)
    assert fit.fits and fit.share >= 0.97 and fit.points > 3000, fit
    assert mesh_fit.refusal(trimesh.load(scene.mesh_file, process=False), clouds, names) is None


MOVED = np.eye(4)
MOVED[:3, 3] = (0.5, 0, 0)
DOWN = np.eye(4)
DOWN[:3, 3] = (0, 0, -0.5)
ANOTHER = ("the mesh is likely another scene's, or in another frame than the sparse model (moved, turned or "
           "scaled); or the depth maps are not in metres")


@pytest.mark.parametrize("transform, cause", [
    (np.diag([1000, 1000, 1000, 1.0]), "the mesh looks like millimetres: scaled by 0.001, 100% of the points would "
                                       "lie on it; the mesh must be in the depth maps' metres"),
    (np.diag([0.001, 0.001, 0.001, 1.0]), "the mesh looks 1000 times too small: scaled by 1000, 100% of the points "
                                          "would lie on it; the mesh must be in the depth maps' metres"),
    (MOVED, ANOTHER),
    (DOWN, ANOTHER),
    (None, ANOTHER),
])
def test_a_wrong_mesh_is_refused_with_its_likely_cause(scenes, transform, cause):
    clouds, names = cleaned_clouds(scenes["true"])
    mesh = trimesh.load(scenes["other" if transform is None else "true"].mesh_file, process=False)
    if transform is not None:
        mesh.apply_transform(transform)
    line = mesh_fit.refusal(mesh, clouds, names)
    assert line is not None and "\n" not in line
    assert line.startswith(f"the scene mesh does not fit the depth maps: only ")
    assert f"points of 4 objects lie within 3 cm of its surface (on the mesh the depth maps come from, at least 50% " \
           f"do); {cause}" in line
    assert mesh_fit.refusal(mesh, clouds[:1], names[:1]).count(f" of {names[0]} lie within") == 1


@pytest.mark.parametrize("mode", [(), ("--dense",)])
def test_segment_refuses_a_mesh_that_does_not_fit_before_writing(scenes, tmp_path, capsys, mode):
    from quarnet import cli
    from sample_copies import copy_of

    scene = copy_of(scenes["true"], tmp_path / "scene")
    wrong = os.path.join(scene.root_path, "mm.ply")
    trimesh.load(scene.mesh_file, process=False).apply_scale(1000).export(wrong)
    before = sorted(os.listdir(scene.mask_path))
    assert cli.main(["segment", scene.root_path, "--mesh", wrong, *mode]) == 1
    err = capsys.readouterr().err.splitlines()[-1]
    assert err.startswith("quarnet: error: the scene mesh does not fit the depth maps: only ")
    assert err.endswith("the mesh looks like millimetres: scaled by 0.001, 100% of the points would lie on it; the "
                        "mesh must be in the depth maps' metres (--force cuts anyway)")
    assert sorted(os.listdir(scene.mask_path)) == before  # nothing written, no record
    assert all(os.listdir(os.path.join(scene.mask_path, n)) == os.listdir(os.path.join(scenes["true"].mask_path, n))
               for n in scene.object_names)
    assert cli.main(["segment", scene.root_path, "--mesh", wrong, *mode, "--force"]) in (0, 1)
    assert os.path.exists(os.path.join(scene.mask_path, "remain.ply"))

    def files():
        return {os.path.join(d, f): os.stat(os.path.join(d, f)).st_mtime_ns
                for d, _, names in os.walk(scene.mask_path) for f in names}

    cut = files()
    assert cli.main(["segment", scene.root_path, "--mesh", wrong, *mode, "--redo"]) == 1  # refused before removing
    assert files() == cut
