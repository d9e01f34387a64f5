// Module quarnet._mask_folder: the modules' object-folder rule, for the
// package's Python code (the outputs reader and the commands).
#include "host.hpp"
#include "mask_folder.hpp"

namespace {

namespace py = pybind11;
namespace qh = quarnet::host;

constexpr const char* kDoc =
    "The object folders of a mask folder, in listing order: its entries that are\n"
    "folders, links followed, as the modules walk them (remain.ply and other files\n"
    "are none).";

py::object object_folders(const qh::Call& c, py::object mask_path) {
  py::list names;
  qh::for_each_object_folder(c.ns, mask_path, [&](const py::object& name, const py::object&) { names.append(name); });
  return names;
}

}  // namespace

QUARNET_MODULE(_mask_folder, ns) {
  ns.import("os");
  qh::def(ns, "object_folders", {"mask_path"}, object_folders, kDoc);
}
