// The segmentation by the vote, beside the default and the whole-object cut:
//
//   seg_scene_mesh_vote(scene, min_share, min_views, depth_tolerance)   of a SceneTessaron
//   _cut_vote(scene, subdirs, min_share, min_views, depth_tolerance, record)   the command's
//
// It reads the scene mesh first, writes the run record (mode "vote", its
// three settings), has vote_faces_to_objects (looked up in the module) give
// every face of the scene mesh its object among the object folders, in
// listing order, and cuts and writes them through the cut loop of every mode
// (cut_by_owner): the staged files, the sub_mesh.ply marker, remain.ply last;
// a resumed run writes what one run writes. An object's sub_pcd.ply holds the
// corners of its faces, thinned to one point per 1 cm voxel as the
// extraction thins its clouds, in the extraction's red.
#include <cstdint>
#include <vector>

#include "arrays.hpp"
#include "scene_rules.hpp"
#include "tessaron.hpp"
#include "view_votes.hpp"

namespace tessaron {
namespace {

using I32Array = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

constexpr double kVoxel = 0.01;  // as the extraction thins its clouds

constexpr const char* kVoteDoc =
    "Segments the scene of `scene` (a SceneTessaron): every face goes to the object whose masks cover it\n"
    "in the views that see it (vote_faces_to_objects, with `min_share`, `min_views` and `depth_tolerance`).\n"
    "The output files, the sub_mesh.ply marker of finished objects and remain.ply are those of\n"
    "scene.seg_scene_mesh(); an object's sub_pcd.ply holds the corners of its faces.";

// Per object, the cloud of the corners of the faces it owns, thinned and red.
py::list corner_clouds(const qh::Namespace& ns, const py::object& mesh, const I32Array& owner, std::size_t objects) {
  const qh::F64Array vertices = qh::f64_array(ns.np(), mesh.attr("vertices"));
  const qh::I64Array faces = qh::i64_array(ns.np(), mesh.attr("faces"));
  const std::size_t vertex_count = static_cast<std::size_t>(vertices.size() / 3);
  std::vector<std::vector<double>> points(objects);
  qh::without_gil([&] {
    std::vector<std::uint32_t> taken(vertex_count, 0);  // the last object (+1) a vertex was gathered for
    for (std::size_t k = 0; k < objects; ++k) {
      for (std::size_t f = 0; f < static_cast<std::size_t>(owner.size()); ++f) {
        if (owner.data()[f] != static_cast<std::int32_t>(k)) continue;
        for (int c = 0; c < 3; ++c) {
          const auto v = static_cast<std::size_t>(faces.data()[3 * f + c]);
          if (taken[v] == k + 1) continue;
          taken[v] = static_cast<std::uint32_t>(k + 1);
          points[k].insert(points[k].end(), vertices.data() + 3 * v, vertices.data() + 3 * v + 3);
        }
      }
    }
  });
  py::object o3d = ns.o3d();
  py::list clouds;
  for (const std::vector<double>& p : points) {
    py::array_t<double> rows({static_cast<py::ssize_t>(p.size() / 3), py::ssize_t{3}});
    std::copy(p.begin(), p.end(), rows.mutable_data());
    py::object cloud = o3d.attr("geometry").attr("PointCloud")();
    cloud.attr("points") = o3d.attr("utility").attr("Vector3dVector")(rows);
    cloud = cloud.attr("voxel_down_sample")(py::arg("voxel_size") = kVoxel);
    cloud.attr("paint_uniform_color")(py::list(py::make_tuple(1.0, 0, 0)));
    clouds.append(cloud);
  }
  return clouds;
}

void cut_vote(const qh::Namespace& ns, const py::object& scene, const py::object& mesh, const py::list& subdirs,
              const py::object& min_share, const py::object& min_views, const py::object& depth_tolerance,
              const py::object& record) {
  const qh::OsPath os_path = ns.os_path();
  py::object mask_path = scene.attr("mask_path");
  py::list folders;
  for (py::handle subdir : subdirs) folders.append(os_path.join(mask_path, qh::to_str(subdir)));
  const I32Array owner(ns["vote_faces_to_objects"](mesh, folders, scene.attr("depths_path"), keyed_poses(scene),
                                                     scene.attr("K"), min_share, min_views, depth_tolerance));
  std::size_t voted = 0;
  for (py::ssize_t f = 0; f < owner.size(); ++f) voted += owner.data()[f] >= 0;
  ns.print(qh::cat("Faces voted to ", py::len(subdirs), " objects: ", voted, " of ", owner.size(), "."));

  const py::list clouds = corner_clouds(ns, mesh, owner, py::len(subdirs));
  const NoFaces nothing = [&](std::size_t, const ObjectFiles& files) -> py::object {
    ns.print(qh::cat(files.name, ": no face went to it by the votes of its masks, nothing written."));
    return py::str("no face went to it by the votes of its masks");
  };
  cut_by_owner(ns, mask_path, mesh, clouds, subdirs, {owner.data(), static_cast<std::size_t>(owner.size())}, nothing,
               record);
}

py::list object_folder_names(const qh::Namespace& ns, const py::object& scene) {
  py::list subdirs;
  qh::for_each_object_folder(ns, scene.attr("mask_path"), [&](const py::object& name, const py::object&) {
    subdirs.append(name);
  });
  return subdirs;
}

py::dict settings(const py::object& min_share, const py::object& min_views, const py::object& depth_tolerance) {
  check_vote_settings(min_share, min_views, depth_tolerance);
  py::dict options;
  options["min_share"] = qh::to_float(min_share);
  options["min_views"] = qh::to_int(min_views);
  options["depth_tolerance"] = qh::to_float(depth_tolerance);
  return options;
}

py::object segment_vote(const qh::Call& c, py::object scene, py::object min_share, py::object min_views,
                        py::object depth_tolerance) {
  const auto& ns = c.ns;
  const py::dict options = settings(min_share, min_views, depth_tolerance);
  py::object mesh = load_scene_mesh(ns, scene.attr("mesh_file"));
  py::object record = begin_run_record(ns, scene, "vote", options);
  cut_vote(ns, scene, mesh, object_folder_names(ns, scene), options["min_share"], options["min_views"],
           options["depth_tolerance"], record);
  return py::none();
}

py::object recorded_vote_cut(const qh::Call& c, py::object scene, py::object subdirs, py::object min_share,
                             py::object min_views, py::object depth_tolerance, py::object record) {
  check_vote_settings(min_share, min_views, depth_tolerance);
  cut_vote(c.ns, scene, load_scene_mesh(c.ns, scene.attr("mesh_file")), py::list(subdirs), min_share, min_views,
           depth_tolerance, record);
  return py::none();
}

}  // namespace

void define_vote_cut(const qh::Namespace& ns) {
  qh::def(ns, "seg_scene_mesh_vote",
          {"scene", qh::arg("min_share", kDefaultMinShare), qh::arg("min_views", kDefaultMinViews),
           qh::arg("depth_tolerance", kDefaultDepthTolerance)},
          segment_vote, kVoteDoc);
  qh::def(ns, "_cut_vote", {"scene", "subdirs", "min_share", "min_views", "depth_tolerance", "record"},
          recorded_vote_cut);
}

}  // namespace tessaron
