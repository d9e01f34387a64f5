// The library versions the native doubles of trimesh's calls are proven
// against (tests/python/test_trimesh_native.py), and the libspatialindex
// entry points of the copy the rtree package loads.
#include "trimesh_versions.hpp"

#include <pybind11/gil_safe_call_once.h>

#include <string>

#include "native_path.hpp"

namespace tessaron {
namespace {

namespace native = quarnet::host::native;
namespace spatial = quarnet::spatial;

constexpr const char* kSpatialIndexVersion = "2.1.";

// The address of a function of a ctypes library, or null.
template <class F>
void resolve(const py::object& library, const py::object& c_void_p, const char* name, F& slot) {
  py::object fn = py::getattr(library, name, py::none());
  if (fn.is_none()) return;
  py::object address = py::module_::import("ctypes").attr("cast")(fn, c_void_p).attr("value");
  if (address.is_none()) return;
  slot = reinterpret_cast<F>(static_cast<std::uintptr_t>(address.cast<unsigned long long>()));
}

std::optional<spatial::SpatialIndexApi> load_spatial_index() {
  py::object core;
  try {
    core = py::module_::import("rtree.core");
  } catch (py::error_already_set&) {
    return std::nullopt;  // trimesh's own call reports the missing rtree
  }
  py::object rt = py::getattr(core, "rt", py::none());
  if (rt.is_none() || !py::hasattr(rt, "SIDX_Version")) return std::nullopt;
  py::object version = rt.attr("SIDX_Version")();
  if (!PyBytes_Check(version.ptr()) || std::string(py::bytes(version)).rfind(kSpatialIndexVersion, 0) != 0)
    return std::nullopt;

  py::object c_void_p = py::module_::import("ctypes").attr("c_void_p");
  spatial::SpatialIndexApi api;
  resolve(rt, c_void_p, "IndexProperty_Create", api.property_create);
  resolve(rt, c_void_p, "IndexProperty_Destroy", api.property_destroy);
  resolve(rt, c_void_p, "IndexProperty_SetDimension", api.property_set_dimension);
  resolve(rt, c_void_p, "IndexProperty_SetIndexStorage", api.property_set_storage);
  resolve(rt, c_void_p, "Index_CreateWithArray", api.create_with_array);
  resolve(rt, c_void_p, "Index_Destroy", api.destroy);
  resolve(rt, c_void_p, "Index_Intersects_id_v", api.intersects_id_v);
  resolve(rt, c_void_p, "Error_Reset", api.error_reset);
  if (!api.complete()) return std::nullopt;
  return api;
}

}  // namespace

bool trimesh_covered() {
  return native::version_among("trimesh", {"5.2."}) && native::version_among("rtree", {"1.4."});
}

const spatial::SpatialIndexApi* rtree_spatial_index() {
  // Resolved once: the library a process has loaded does not change. The
  // lookup calls Python (ctypes), which may release the GIL: the GIL-safe
  // once-call, never a function-local static, whose guard would deadlock.
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<std::optional<spatial::SpatialIndexApi>> storage;
  const auto& api = storage.call_once_and_store_result(load_spatial_index).get_stored();
  return api ? &*api : nullptr;
}

}  // namespace tessaron
