// A mask image as the modules read it: the one reader of Tessaron's
// extraction and of the commands (through quarnet._mask_reading).
#pragma once

#include "host.hpp"

namespace quarnet::host {

enum class WideMasks { warn, quiet };

// cv2.imread(mask_path, cv2.IMREAD_GRAYSCALE) through the namespace's cv2,
// or None for an unreadable entry. Only a regular file (links followed) is
// handed on: imread would block on a FIFO without a writer and read a device
// without end; any other entry is one that cannot be read as an image.
// OpenCV cannot open a name that is not UTF-8 (its str holds surrogates):
// such a file is read here and decoded by OpenCV from its bytes (np.frombuffer,
// cv2.imdecode), to the same pixels. With WideMasks::warn, a PNG of more than
// 8 bits per sample, which IMREAD_GRAYSCALE scales down to 8 (labels below
// 256 become background), prints one "[Warning] mask ..." line.
py::object read_mask(const Namespace& ns, const py::object& mask_path, WideMasks wide);

// The alpha channel of the image at mask_path as cv2.IMREAD_UNCHANGED reads it
// (a 2-D array), or None when the image has none or cannot be read; from the
// same files as read_mask. A cut-out export keeps its object there, which
// read_mask's grey reading never sees.
py::object read_alpha(const Namespace& ns, const py::object& mask_path);

}  // namespace quarnet::host
