// Module quarnet._mask_reading: the modules' mask reader (mask_reading.hpp),
// for the package's Python code. Apart from quarnet._scene_rules, which every
// command imports, since it binds OpenCV at load.
#include "host.hpp"
#include "mask_reading.hpp"

namespace {

namespace py = pybind11;
namespace qh = quarnet::host;

constexpr const char* kDoc =
    "The mask at path as Tessaron reads it: an 8-bit grey array (cv2.IMREAD_GRAYSCALE),\n"
    "or None for an entry that is no regular file or no image. Names that are not\n"
    "UTF-8 are read too; a mask of more than 8 bits per sample is read as 8-bit grey.";

constexpr const char* kAlphaDoc =
    "The alpha channel of the image at path (cv2.IMREAD_UNCHANGED), a 2-D array, or None\n"
    "for an image without one or an entry read_mask cannot read either.";

py::object read_mask(const qh::Call& c, py::object path) { return qh::read_mask(c.ns, path, qh::WideMasks::quiet); }

py::object read_alpha(const qh::Call& c, py::object path) { return qh::read_alpha(c.ns, path); }

}  // namespace

QUARNET_MODULE(_mask_reading, ns) {
  ns.import("numpy", "np");
  ns.import("cv2");
  qh::def(ns, "read_mask", {"path"}, read_mask, kDoc);
  qh::def(ns, "read_alpha", {"path"}, read_alpha, kAlphaDoc);
}
