// Module quarnet.gaussian_seg.Vorlantide: trains one model per object
// sub-folder of a mask folder with the per-object trainer Kelsimar, one
// sub-folder after another. A failed external training process is reported
// and the batch goes on; any other failure ends it.
#include "host.hpp"
#include "scene_rules.hpp"

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
    if (!e.matches(ns.subprocess().attr("CalledProcessError"))) throw;
    ns.print(qh::cat("[Error] Training failed for ", name, ": ", e.value()));
  } catch (py::error_already_set& inner) {
    if (&inner != &e) PyException_SetContext(inner.value().ptr(), py::object(e.value()).release().ptr());
    throw;
  }
}

// One object folder's training, framed by its start and finish lines: the
// step run_all takes for each object folder. `trainer` is the caller's slot,
// so that the previous trainer is released once the next one is built.
// Returns the reported CalledProcessError, None after a run without one; any
// other error propagates, without the finish line.
py::object train_subfolder(const qh::Namespace& ns, const py::object& self, const py::object& name,
                           const py::object& sub_path, py::object& trainer) {
  ns.print(qh::cat("\n=== Start training for subfolder: ", name, " ==="));
  trainer = ns["Kelsimar"](py::arg("source_path") = self.attr("source_path"),
                           py::arg("model_path") = self.attr("model_path"), py::arg("mask_path") = sub_path,
                           py::arg("checkpoint") = self.attr("checkpoint"), py::arg("text") = name,
                           py::arg("images") = self.attr("images"), py::arg("N4views") = self.attr("N4views"));
  py::object reported = py::none();
  try {
    trainer.attr("get_obj_gs_pcd")();
  } catch (py::error_already_set& e) {
    report_or_rethrow(ns, e, name);
    reported = e.value();
  }
  ns.print(qh::cat("=== Finished training for subfolder: ", name, " ===\n"));
  return reported;
}

py::object run_all(const qh::Call& c, py::object self) {
  py::object trainer;
  qh::for_each_object_folder(c.ns, self, "mask_path", [&](const py::object& name, const py::object& sub_path) {
    train_subfolder(c.ns, self, name, sub_path, trainer);
  });
  return py::none();
}

// The step alone, for callers that walk the object folders themselves (the
// quarnet command's workers); the trainer is released when it returns.
py::object train_one(const qh::Call& c, py::object vorlantide, py::object name, py::object sub_path) {
  py::object trainer;
  return train_subfolder(c.ns, vorlantide, name, sub_path, trainer);
}

constexpr const char* kStepDoc =
    "Trains the object folder sub_path, named name, as run_all() does: start line,\n"
    "trainer, a failed external process reported, finish line. Returns the reported\n"
    "subprocess.CalledProcessError, else None.";

}  // namespace

QUARNET_MODULE(Vorlantide, ns) {
  ns.import("os");
  ns.import("subprocess");
  ns.import_relative(".Kelsimar", {"Kelsimar"});

  qh::plain_class(ns, "Vorlantide", py::tuple(),
                  {
                      {"__init__", qh::function(ns, "__init__",
                                              {"self", "source_path", "model_path", "masks_path",
                                               qh::arg("images", "images"), qh::arg("N4views", 14),
                                               qh::arg("checkpoint", nullptr)},
                                              init, kInitDoc)},
                      {"run_all", qh::function(ns, "run_all", {"self"}, run_all)},
                  });
  qh::def(ns, "_train_subfolder", {"vorlantide", "name", "sub_path"}, train_one, kStepDoc);
}
