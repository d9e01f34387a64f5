// Module quarnet.gaussian_seg.Vorlantide: trains one model per object
// sub-folder of a mask folder with the per-object trainer Kelsimar, one
// sub-folder after another. A failed external training process is reported
// and the batch goes on; any other failure ends it.
#include "host.hpp"

namespace {

namespace py = pybind11;
namespace qh = quarnet::host;

constexpr const char* kInitDoc =
    ":param source_path: 原始训练数据路径\n"
    ":param model_path: 模型保存路径\n"
    ":param images: 传递给 Wrapper 的 images 参数\n"
    ":param N4views: 传递给 Wrapper 的 N4views 参数\n"
    ":param checkpoint: 可选 checkpoint";

py::object init(const qh::Call&, py::object self, py::object source_path, py::object model_path, py::object masks_path,
                py::object images, py::object N4views, py::object checkpoint) {
  self.attr("source_path") = source_path;
  self.attr("model_path") = model_path;
  self.attr("images") = images;
  self.attr("N4views") = N4views;
  self.attr("checkpoint") = checkpoint;
  self.attr("mask_path") = masks_path;
  return py::none();
}

// except subprocess.CalledProcessError as e: print(f"[Error] Training failed for {name}: {e}")
// Anything else propagates. An error raised while handling gets the trainer's
// error as its context, as in an except clause.
void report_or_rethrow(const qh::Namespace& ns, py::error_already_set& e, const py::object& name) {
  try {
    if (!e.matches(ns["subprocess"].attr("CalledProcessError"))) throw;
    ns.print(qh::cat("[Error] Training failed for ", name, ": ", e.value()));
  } catch (py::error_already_set& inner) {
    if (&inner != &e) PyException_SetContext(inner.value().ptr(), py::object(e.value()).release().ptr());
    throw;
  }
}

py::object run_all(const qh::Call& c, py::object self) {
  const auto& ns = c.ns;
  py::object mask_path = self.attr("mask_path");
  py::object trainer;  // the previous one is released once the next is built
  for (py::handle entry : ns["os"].attr("listdir")(mask_path)) {
    py::object name = py::reinterpret_borrow<py::object>(entry);
    const qh::OsPath os_path = ns.os_path();
    py::object sub_path = os_path.join(self.attr("mask_path"), name);
    if (!os_path.isdir(sub_path)) continue;

    ns.print(qh::cat("\n=== Start training for subfolder: ", name, " ==="));
    trainer = ns["Kelsimar"](py::arg("source_path") = self.attr("source_path"),
                             py::arg("model_path") = self.attr("model_path"), py::arg("mask_path") = sub_path,
                             py::arg("checkpoint") = self.attr("checkpoint"), py::arg("text") = name,
                             py::arg("images") = self.attr("images"), py::arg("N4views") = self.attr("N4views"));
    try {
      trainer.attr("get_obj_gs_pcd")();
    } catch (py::error_already_set& e) {
      report_or_rethrow(ns, e, name);
    }
    ns.print(qh::cat("=== Finished training for subfolder: ", name, " ===\n"));
  }
  return py::none();
}

}  // namespace

QUARNET_MODULE(Vorlantide, ns) {
  ns.import("os");
  ns.import("subprocess");
  ns.import_relative(".Kelsimar", {"Kelsimar"});

  qh::plain_class(ns, "Vorlantide", py::tuple(),
                  {
                      {"__init__", qh::method(ns, "__init__",
                                              {"self", "source_path", "model_path", "masks_path",
                                               qh::arg("images", "images"), qh::arg("N4views", 14),
                                               qh::arg("checkpoint", nullptr)},
                                              init, kInitDoc)},
                      {"run_all", qh::method(ns, "run_all", {"self"}, run_all)},
                  });
}
