// Module quarnet.mesh_seg.Tessaron: cuts a scene mesh into one sub-mesh per
// object from per-view object masks, depth maps and the sparse camera model.
#include "tessaron.hpp"
#include "trimesh_native.hpp"
#include "view_votes.hpp"

QUARNET_MODULE(Tessaron, ns) {
  using namespace tessaron;

  ns.import("os");
  ns.import("numpy", "np");
  ns.import("cv2");
  ns.import("open3d", "o3d");
  ns.import_from("scipy.spatial.transform", "Rotation", "R");
  ns.import_from("tqdm", "tqdm");
  ns.import("trimesh");
  ns.import_relative("..scene.colmap_loader", {"read_extrinsics_binary", "read_intrinsics_binary", "read_extrinsics_text",
                                               "read_intrinsics_text", "qvec2rotmat", "rotmat2qvec"});
  ns.import("quarnet.run_record", "run_record");

  define_depth_lifting(ns);
  define_masked_pointclouds(ns);
  define_face_search(ns);
  define_submesh(ns);
  define_whole_objects(ns);
  define_view_votes(ns);
  define_vote_cut(ns);
  define_object_clouds(ns);
  define_recorded_cut(ns);
  define_staged_files(ns);
  define_ply_export(ns);

  qh::plain_class(ns, "SceneTessaron", py::tuple(),
                  {
                      {"__init__", scene_init(ns)},
                      {"process_extrinsics", process_extrinsics(ns)},
                      {"process_and_visualize_mesh_with_pointcloud_and_bbox", process_and_visualize(ns)},
                      {"seg_scene_mesh", seg_scene_mesh(ns)},
                  });
}
