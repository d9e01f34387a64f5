// The sparse model as the modules take it, one rule each, built into both
// quarnet.scene.colmap_loader (read_model, camera_intrinsics) and
// quarnet.mesh_seg.Tessaron (SceneTessaron's set-up):
//
//   - the files: images.bin and cameras.bin, or, on any ordinary error, a
//     warning line and images.txt and cameras.txt (and write_model writes
//     the pair of one form);
//   - K = [fx, fy, cx, cy] of a camera, and the warning for what K leaves out
//     of its projection (the core's camera-model table decides both).
#pragma once

#include "host.hpp"

namespace quarnet::scene {

namespace py = pybind11;
namespace qh = quarnet::host;

struct SparseModel {
  py::object images, cameras;            // the readers' mappings
  py::object images_file, cameras_file;  // the paths they were read from
};

// Reads the model in `folder` with the readers bound in `ns` (looked up at
// the call, so a host may replace them). On an ordinary exception from a
// binary reader, prints "[Warning] 读取 .bin 失败 (<error>)，尝试读取 .txt 文件..."
// and reads both text files; a text failure leaves with its own exception,
// the binary one as its context and in a note.
SparseModel read_sparse_model(const qh::Namespace& ns, const py::object& folder);

// Writes cameras.<ext> and images.<ext> in `folder` with the writers bound in
// `ns` of the form `ext` names (".bin": binary, ".txt": text); ValueError for
// any other extension.
void write_sparse_model(const qh::Namespace& ns, const py::object& cameras, const py::object& images,
                        const py::object& folder, const py::object& ext);

struct Intrinsics {
  py::list K;          // four floats, each made by float()
  py::object warning;  // the "[Warning] ..." line, or None
};

// K of a camera record whose `params` convert by float() and whose `model`
// is a name, an id or missing (a replaced reader may give any). Raises
// ValueError "未知的相机参数格式: <params>" (noted with `cameras_file`) when
// no K can be made, and ValueError naming `cameras_file` for a K that is not
// finite or has fx or fy not above zero.
Intrinsics camera_intrinsics(const py::object& cam, const py::object& cameras_file);

}  // namespace quarnet::scene
