// extract_masked_pointclouds(mask_folder, depth_folder, poses_dict, K): one
// object's world-space point cloud from its per-view masks.
//
// For each mask, in sorted name order (unreadable entries skipped):
//   depth = load_depth(depth_folder/<image id>.npy)                (scene_rules.hpp)
//   depth_masked = depth.copy(); depth_masked[mask == 0] = 0       (native)
//   points_cam = backproject_depth_to_points(depth_masked, K)
//   points_cam = the rows with 0 < z < inf                          (scene_rules.hpp)
//   t, q = poses_dict[image_id]
//   points_world = R.from_quat(q).apply(points_cam) + t  -> merged_pcd
// then voxel thinning (0.01), radius outlier removal (20 within 0.03), red
// colour and the axis-aligned bounding box; (None, None) without any point.
// Errors keep their type and message; those caused by one mask (its name, its
// depth map, its pose) gain a note naming the mask file.
#include <pybind11/numpy.h>

#include "mask_reading.hpp"
#include "native_path.hpp"
#include "quarnet/depth/masking.hpp"
#include "scene_rules.hpp"
#include "tessaron.hpp"

namespace tessaron {
namespace {

namespace numeric = quarnet::numeric;
namespace native = quarnet::host::native;

// numpy's boolean indexing needs mask.shape == depth.shape[:mask.ndim].
void check_mask_shape(const py::object& depth, const py::object& mask, const py::object& mask_path,
                      const py::object& depth_path) {
  if (!py::hasattr(depth, "shape") || !py::hasattr(mask, "shape")) return;
  const py::tuple d = depth.attr("shape"), m = mask.attr("shape");
  bool match = py::len(m) <= py::len(d);
  for (std::size_t k = 0; match && k < py::len(m); ++k) match = m[k].equal(d[k]);
  if (!match)
    qh::raise(PyExc_IndexError, qh::cat("mask and depth map differ in size: mask ", mask_path, " has shape ", m,
                                        ", depth map ", depth_path, " has shape ", d));
}

// depth.copy() with every pixel whose mask value is 0 set to 0.
py::object masked_depth(const py::object& depth, const py::object& mask) {
  const auto values = native::array(depth, native::ArrayRule(2));
  const auto bytes = values ? native::array(mask, native::ArrayRule(2)) : std::nullopt;
  if (bytes && bytes->element.size == 1) {
    const auto d = py::reinterpret_borrow<py::array>(depth);
    py::array out(d.dtype(), {d.shape(0), d.shape(1)});
    const auto item = static_cast<std::size_t>(d.itemsize());
    // masked_copy moves whole elements of `item` bytes; their type is not read.
    const numeric::Strided2D from = values->as_2d(), by = bytes->as_2d();
    auto* dst = static_cast<std::uint8_t*>(out.mutable_data());
    qh::without_gil([&] { quarnet::depth::masked_copy(from, item, by, dst); });
    return out;
  }
  py::object out = depth.attr("copy")();
  out[qh::compare(mask, py::int_(0), Py_EQ)] = 0;
  return out;
}

py::object extract_masked_pointclouds(const qh::Call& c, py::object mask_folder, py::object depth_folder,
                                      py::object poses_dict, py::object K) {
  const auto& ns = c.ns;

  py::object merged_pcd = ns.o3d().attr("geometry").attr("PointCloud")();
  py::object mask_files = qh::sorted(ns.os().listdir(mask_folder));

  for (py::handle mask_name : ns["tqdm"](mask_files, py::arg("desc") = "Processing masks ")) {
    const qh::OsPath os_path = ns.os_path();
    py::object mask_path = os_path.join(mask_folder, mask_name);
    py::object mask = qh::read_mask(ns, mask_path, qh::WideMasks::warn);
    if (mask.is_none()) continue;

    py::object image_id = qh::with_note([&] { return qh::image_id(ns, mask_name); },
                                        [&](auto&) { return qh::cat("mask ", mask_path, ": its name is not an image id"); });
    py::object depth_path = qh::depth_file(ns, depth_folder, image_id);

    py::object depth = qh::with_note([&] { return ns["load_depth"](depth_path); }, [&](auto& e) {
      if (e.matches(PyExc_FileNotFoundError)) return qh::cat("mask ", mask_path, " has no depth map ", depth_path);
      return qh::cat("mask ", mask_path, ": cannot read its depth map ", depth_path);
    });
    check_mask_shape(depth, mask, mask_path, depth_path);
    py::object depth_masked = masked_depth(depth, mask);

    py::object points_cam = qh::with_note([&] { return ns["backproject_depth_to_points"](depth_masked, K); }, [&](auto&) {
      py::object shape = py::getattr(depth, "shape", py::none());
      return qh::cat("mask ", mask_path, ": cannot back-project its depth map ", depth_path, " of shape ", shape,
                     " (a depth map is H x W)");
    });
    points_cam = qh::with_depth(points_cam);

    py::object pose = qh::with_note([&] { return py::object(poses_dict[image_id]); }, [&](auto& e) -> py::object {
      if (!e.matches(PyExc_KeyError)) return py::object();
      return qh::cat("mask ", mask_path, ": no camera pose for image id ", image_id);
    });
    auto [t, q] = qh::unpack<2>(pose);
    py::object rot = ns["R"].attr("from_quat")(q);
    py::object points_world = rot.attr("apply")(points_cam) + t;

    py::object o3d = ns.o3d();
    py::object pcd_world = o3d.attr("geometry").attr("PointCloud")();
    pcd_world.attr("points") = o3d.attr("utility").attr("Vector3dVector")(points_world);
    merged_pcd += pcd_world;
  }

  if (py::len(merged_pcd.attr("points")) == 0) {
    ns.print("No masked points found.");
    return py::make_tuple(py::none(), py::none());
  }

  merged_pcd = merged_pcd.attr("voxel_down_sample")(py::arg("voxel_size") = 0.01);
  ns.print();
  auto [pcd_cleaned, ind] = qh::unpack<2>(
      merged_pcd.attr("remove_radius_outlier")(py::arg("nb_points") = 20, py::arg("radius") = 0.03));
  ns.print(qh::cat("原始点云点数: ", py::len(merged_pcd.attr("points"))));
  ns.print(qh::cat("滤波后点数: ", py::len(pcd_cleaned.attr("points"))));

  pcd_cleaned.attr("paint_uniform_color")(py::list(py::make_tuple(1.0, 0, 0)));
  py::object bounding_box = pcd_cleaned.attr("get_axis_aligned_bounding_box")();
  return py::make_tuple(pcd_cleaned, bounding_box);
}

}  // namespace

void define_masked_pointclouds(const qh::Namespace& ns) {
  qh::def(ns, "extract_masked_pointclouds", {"mask_folder", "depth_folder", "poses_dict", "K"}, extract_masked_pointclouds);
}

}  // namespace tessaron
