// What counts as an object folder of a mask folder: the one rule of every
// module and command that walks a mask folder's objects.
#pragma once

#include "host.hpp"

namespace quarnet::host {

// os.path.join(mask_path, name) when the mask folder's entry `name` is an
// object folder: a folder, links followed, as os.path.isdir through the
// namespace's os says. Any other entry (remain.ply and other files, pipes,
// dangling links) is no object: None.
py::object object_folder(const Namespace& ns, py::handle mask_path, py::handle name);

// visit(name, path) for each object folder of the mask folder, in the order
// the namespace's os.listdir gives them; each entry is tested just before
// its visit, so what an earlier visit leaves in the folder is seen.
template <class Visit>
void for_each_object_folder(const Namespace& ns, py::handle mask_path, Visit&& visit) {
  for (py::handle entry : ns.os().listdir(mask_path)) {
    py::object path = object_folder(ns, mask_path, entry);
    if (!path.is_none()) visit(py::reinterpret_borrow<py::object>(entry), path);
  }
}

}  // namespace quarnet::host
