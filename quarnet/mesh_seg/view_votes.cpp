// The vote: every face of the scene mesh labelled by the views that see it.
//
//   vote_faces_to_objects(mesh, mask_folders, depth_folder, poses_dict, K, ...)  -> object per face
//
// A view is an image id that some object folder holds a mask for (the stem
// rule of the extraction); its masks are read with the extraction's reader,
// its depth map and pose found as the extraction finds them. Each view's
// pixels are cast against the mesh (Open3D's RaycastingScene, bound as o3d)
// along the back-projection's pixel rays; a pixel whose depth map disagrees
// with the mesh by more than depth_tolerance (relative) sees nothing. The
// counting, the rule and the flood over faces the views leave undecided are
// the core's (quarnet/vote/face_votes.hpp, flood.hpp), without the GIL.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "arrays.hpp"
#include "mask_reading.hpp"
#include "quarnet/depth/pixel_rays.hpp"
#include "quarnet/vote/face_votes.hpp"
#include "scene_rules.hpp"
#include "tessaron.hpp"
#include "view_votes.hpp"

namespace tessaron {
namespace {

using qh::F64Array;
using qh::I64Array;
using U8Array = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;
using F32Array = py::array_t<float, py::array::c_style | py::array::forcecast>;
using I32Array = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

constexpr const char* kVoteDoc =
    "For every face of `mesh`, the object the masks of the views that see it give it.\n"
    "`mask_folders` holds one folder of masks per object, named by image id as the extraction reads them.\n"
    "A pixel sees the face its ray meets first, unless its depth in `depth_folder` differs from the mesh's\n"
    "by more than `depth_tolerance` (relative). A face's share of an object is the part of the pixels that\n"
    "see it, in all views, that the object's masks cover (where masks overlap, each counts by the pixel's\n"
    "depth inside it). A face seen in at least `min_views` views goes to the object of the highest share\n"
    "(the earlier folder at a tie) if that share is at least `min_share`; faces seen in fewer views, or\n"
    "covered half as much by a second object, take the object that encloses them on the mesh.\n"
    "Returns an int32 array: the folder's index per face, -1 for none.";

struct Settings {
  quarnet::vote::Rule rule;
  double depth_tolerance;
};

Settings settings_of(const py::object& min_share, const py::object& min_views, const py::object& depth_tolerance) {
  const double share = qh::to_float(min_share).cast<double>();
  if (!(share > 0 && share <= 1)) qh::raise(PyExc_ValueError, qh::cat("min_share must lie in (0, 1], got ", min_share));
  const py::object views = qh::to_int(min_views);
  if (!qh::truthy(qh::compare(views, min_views, Py_EQ)) || !qh::truthy(qh::compare(views, py::int_(1), Py_GE)) ||
      !qh::truthy(qh::compare(views, py::int_(1'000'000), Py_LE)))
    qh::raise(PyExc_ValueError, qh::cat("min_views must be a whole number from 1 to 1000000, got ", min_views));
  const double tolerance = qh::to_float(depth_tolerance).cast<double>();
  if (!(tolerance >= 0)) qh::raise(PyExc_ValueError, qh::cat("depth_tolerance must not be negative, got ", depth_tolerance));
  return {{share, views.cast<unsigned>()}, tolerance};
}

// The views of the mask folders: {image id: [(object, mask path), ...]},
// each object's masks in its folder's sorted order. An entry whose name is
// no image id is skipped when it cannot be read as an image, as the
// extraction skips it, and refused when it can.
py::dict views_of(const qh::Namespace& ns, const py::list& folders) {
  py::dict views;
  for (std::size_t k = 0; k < folders.size(); ++k) {
    py::object folder = folders[k];
    for (py::handle name : qh::sorted(ns.os().listdir(folder))) {
      py::object path = ns.os_path().join(folder, name);
      py::object id;
      try {
        id = qh::image_id(ns, name);
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) || qh::read_mask(ns, path, qh::WideMasks::quiet).is_none()) {
          if (e.matches(PyExc_ValueError)) continue;
          throw;
        }
        qh::add_note(e, qh::cat("mask ", path, ": its name is not an image id"));
        throw;
      }
      views.attr("setdefault")(id, py::list()).attr("append")(py::make_tuple(k, path));
    }
  }
  return views;
}

quarnet::depth::Pose pose_of(const qh::Namespace& ns, const py::object& pose) {
  auto [t, q] = qh::unpack<2>(pose);
  const F64Array centre = qh::f64_array(ns.np(), t);
  const F64Array rotation = qh::f64_array(ns.np(), ns["R"].attr("from_quat")(q).attr("as_matrix")());
  if (centre.size() != 3 || rotation.size() != 9) qh::raise(PyExc_ValueError, py::str("a camera pose must be (t, q)"));
  quarnet::depth::Pose p{};
  std::copy(centre.data(), centre.data() + 3, p.centre);
  std::copy(rotation.data(), rotation.data() + 9, p.rotation);
  return p;
}

quarnet::depth::Intrinsics intrinsics_of(const py::object& K) {
  const auto k = qh::unpack<4>(K);
  return {qh::to_float(k[0]).cast<double>(), qh::to_float(k[1]).cast<double>(), qh::to_float(k[2]).cast<double>(),
          qh::to_float(k[3]).cast<double>()};
}

// The scene the rays are cast against: the mesh's triangles in single precision.
py::object raycasting_scene(const qh::Namespace& ns, const F64Array& vertices, const I64Array& faces) {
  py::object o3d = ns.o3d();
  const qh::Numpy np = ns.np();
  py::object scene = o3d.attr("t").attr("geometry").attr("RaycastingScene")();
  py::object tensor = o3d.attr("core").attr("Tensor");
  scene.attr("add_triangles")(tensor(np.asarray(vertices, "float32")), tensor(np.asarray(faces, "uint32")));
  return scene;
}

class ViewCaster {
 public:
  ViewCaster(const qh::Namespace& ns, py::object scene, const py::object& K, double tolerance)
      : ns_(ns), scene_(std::move(scene)), k_(intrinsics_of(K)), tolerance_(tolerance) {}

  // The face each pixel of a height x width view sees, -1 for none and
  // where the depth map disagrees.
  I32Array faces_seen(const quarnet::depth::Pose& pose, const F32Array& depth, std::size_t height, std::size_t width) {
    py::array_t<float> rays({static_cast<py::ssize_t>(height * width), py::ssize_t{6}});
    float* out = rays.mutable_data();
    qh::without_gil([&] { quarnet::depth::pixel_rays(k_, pose, width, height, out); });
    py::object o3d = ns_.o3d();
    py::dict hits = scene_.attr("cast_rays")(o3d.attr("core").attr("Tensor")(rays));
    const F32Array hit(hits["t_hit"].attr("numpy")());
    const I32Array face(ns_.np().attr("ascontiguousarray")(hits["primitive_ids"].attr("numpy")()).attr("view")(
        ns_.np().attr("int32")));
    I32Array seen(static_cast<py::ssize_t>(height * width));
    std::int32_t* s = seen.mutable_data();
    qh::without_gil([&] {
      std::copy(face.data(), face.data() + face.size(), s);
      quarnet::vote::reject_disagreeing({s, height * width}, {hit.data(), height * width},
                                        {depth.data(), height * width}, tolerance_);
    });
    return seen;
  }

 private:
  const qh::Namespace& ns_;
  py::object scene_;
  quarnet::depth::Intrinsics k_;
  double tolerance_;
};

py::tuple shape_of(const py::object& array) { return py::getattr(array, "shape", py::tuple()); }

py::object vote_faces(const qh::Call& c, py::object mesh, py::object mask_folders, py::object depth_folder,
                      py::object poses_dict, py::object K, py::object min_share, py::object min_views,
                      py::object depth_tolerance) {
  const auto& ns = c.ns;
  const Settings settings = settings_of(min_share, min_views, depth_tolerance);
  const F64Array vertices = qh::f64_array(ns.np(), mesh.attr("vertices"));
  const I64Array faces = qh::i64_array(ns.np(), mesh.attr("faces"));
  if (faces.size() != 0 && !qh::has_rows_of_three(faces))
    qh::raise(PyExc_ValueError, py::str("the mesh's faces must be an F x 3 array"));
  if (vertices.size() != 0 && !qh::has_rows_of_three(vertices))
    qh::raise(PyExc_ValueError, py::str("the mesh's vertices must be an N x 3 array"));
  const quarnet::mesh::IndexedMesh indexed = qh::indexed_mesh(vertices, faces);
  if (!indexed.faces_in_range()) qh::raise(PyExc_ValueError, py::str("a face of the mesh refers to a vertex it lacks"));

  const py::list folders(mask_folders);
  const py::dict views = views_of(ns, folders);
  quarnet::vote::FaceVotes votes(indexed.face_count(), folders.size());
  ViewCaster caster(ns, raycasting_scene(ns, vertices, faces), K, settings.depth_tolerance);

  const py::list ids = qh::sorted(views);
  for (py::handle id_handle : ns["tqdm"](ids, py::arg("desc") = "Voting views ", py::arg("disable") = py::none())) {
    const py::object id = py::reinterpret_borrow<py::object>(id_handle);
    const py::list files = views[id];
    std::vector<U8Array> masks(folders.size());
    py::object first;  // the first mask read: the view's size is its size
    py::tuple shape;
    for (py::handle file : files) {
      const auto [object, path] = qh::unpack<2>(file);
      py::object mask = qh::read_mask(ns, path, qh::WideMasks::warn);
      if (mask.is_none()) continue;
      U8Array m(mask);
      if (m.ndim() != 2)
        qh::raise(PyExc_ValueError, qh::cat("mask ", path, " has shape ", shape_of(m), " (a mask is H x W)"));
      if (first && !shape_of(m).equal(shape))
        qh::raise(PyExc_ValueError, qh::cat("mask ", path, " has shape ", shape_of(m), ", the mask ", first,
                                            " of the same view has shape ", shape, " (a view's masks are of one size)"));
      if (!first) {
        first = path;
        shape = shape_of(m);
      }
      masks[object.cast<std::size_t>()] = std::move(m);
    }
    if (!first) continue;  // no mask of this view could be read
    const auto height = shape[0].cast<std::size_t>(), width = shape[1].cast<std::size_t>();

    py::object pose = qh::with_note([&] { return py::object(poses_dict[id]); }, [&](auto& e) -> py::object {
      if (!e.matches(PyExc_KeyError)) return py::object();
      return qh::cat("mask ", first, ": no camera pose for image id ", id);
    });
    py::object depth_path = qh::depth_file(ns, depth_folder, id);
    py::object depth_map = qh::with_note([&] { return ns["load_depth"](depth_path); }, [&](auto& e) {
      if (e.matches(PyExc_FileNotFoundError)) return qh::cat("mask ", first, " has no depth map ", depth_path);
      return qh::cat("mask ", first, ": cannot read its depth map ", depth_path);
    });
    const F32Array depth(depth_map);
    if (depth.ndim() != 2 || !shape_of(depth).equal(shape))
      qh::raise(PyExc_ValueError, qh::cat("mask and depth map differ in size: mask ", first, " has shape ", shape,
                                          ", depth map ", depth_path, " has shape ", shape_of(depth_map)));

    const I32Array seen = caster.faces_seen(pose_of(ns, pose), depth, height, width);
    std::vector<std::span<const std::uint8_t>> spans(folders.size());
    for (std::size_t k = 0; k < masks.size(); ++k)
      if (masks[k]) spans[k] = {masks[k].data(), height * width};
    qh::without_gil([&] { votes.add({{seen.data(), height * width}, width, spans}); });
  }
  const std::vector<std::int32_t> owner =
      qh::without_gil([&] { return quarnet::vote::face_owners(indexed, votes, settings.rule); });
  return qh::to_array(owner);
}

}  // namespace

void check_vote_settings(const py::object& min_share, const py::object& min_views, const py::object& depth_tolerance) {
  settings_of(min_share, min_views, depth_tolerance);
}

void define_view_votes(const qh::Namespace& ns) {
  qh::def(ns, "vote_faces_to_objects",
          {"mesh", "mask_folders", "depth_folder", "poses_dict", "K", qh::arg("min_share", kDefaultMinShare),
           qh::arg("min_views", kDefaultMinViews), qh::arg("depth_tolerance", kDefaultDepthTolerance)},
          vote_faces, kVoteDoc);
}

}  // namespace tessaron
