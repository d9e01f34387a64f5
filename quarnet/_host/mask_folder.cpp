#include "mask_folder.hpp"

namespace quarnet::host {

py::object object_folder(const Namespace& ns, py::handle mask_path, py::handle name) {
  const OsPath os_path = ns.os_path();
  py::object path = os_path.join(mask_path, name);
  return os_path.isdir(path) ? path : py::none();
}

}  // namespace quarnet::host
