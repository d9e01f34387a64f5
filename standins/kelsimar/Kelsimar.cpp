// Module quarnet.gaussian_seg.Kelsimar: a stand-in for the per-object trainer.
// It trains nothing: get_obj_gs_pcd() runs the package's child program
// kelsimar-run, which checks the object's inputs and writes a manifest of the
// run to model_path/<text>/manifest.json. A failing child raises
// subprocess.CalledProcessError, as a failed training process would.
#include "host.hpp"

namespace {

namespace py = pybind11;
namespace qh = quarnet::host;

constexpr const char* kClassDoc =
    "Stand-in per-object trainer: checks the object's inputs in a child process\n"
    "and writes model_path/<text>/manifest.json; trains nothing.";

constexpr const char* kRunDoc =
    "Runs the object's check in a child process.\n"
    "Raises subprocess.CalledProcessError when the child fails.";

constexpr const char* kChildProgram = "kelsimar-run";

py::object init(const qh::Call&, py::object self, py::object source_path, py::object model_path, py::object mask_path,
                py::object checkpoint, py::object text, py::object images, py::object N4views) {
  self.attr("source_path") = source_path;
  self.attr("model_path") = model_path;
  self.attr("mask_path") = mask_path;
  self.attr("checkpoint") = checkpoint;
  self.attr("text") = text;
  self.attr("images") = images;
  self.attr("N4views") = N4views;
  return py::none();
}

py::object get_obj_gs_pcd(const qh::Call& c, py::object self) {
  const auto& ns = c.ns;
  py::object fspath = ns.os().attr("fspath");
  const qh::OsPath os_path = ns.os_path();
  py::object program = os_path.join(os_path.dirname(ns["__file__"]), kChildProgram);

  py::list argv;
  argv.append(program);
  auto option = [&](const char* flag, const py::object& value) {
    argv.append(flag);
    argv.append(value);
  };
  option("--source-path", fspath(self.attr("source_path")));
  option("--model-path", fspath(self.attr("model_path")));
  option("--mask-path", fspath(self.attr("mask_path")));
  option("--text", fspath(self.attr("text")));
  option("--images", fspath(self.attr("images")));
  option("--n4views", qh::to_str(self.attr("N4views")));
  if (!self.attr("checkpoint").is_none()) option("--checkpoint", fspath(self.attr("checkpoint")));

  ns.subprocess().attr("run")(argv, py::arg("check") = true);
  return py::none();
}

}  // namespace

QUARNET_MODULE(Kelsimar, ns) {
  ns.import("os");
  ns.import("subprocess");

  qh::plain_class(
      ns, "Kelsimar", py::tuple(),
      {
          {"__doc__", py::str(kClassDoc)},
          // Tells the quarnet command that the trainer that ran trains nothing.
          {"_stand_in", py::bool_(true)},
          {"__init__", qh::function(ns, "__init__",
                                  {"self", "source_path", "model_path", "mask_path", "checkpoint", "text", "images",
                                   "N4views"},
                                  init)},
          {"get_obj_gs_pcd", qh::function(ns, "get_obj_gs_pcd", {"self"}, get_obj_gs_pcd, kRunDoc)},
      });
}
