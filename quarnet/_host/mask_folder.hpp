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

}  // namespace quarnet::host
