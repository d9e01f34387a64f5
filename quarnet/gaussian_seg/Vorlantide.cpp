// Module quarnet.gaussian_seg.Vorlantide: batch training over mask sub-folders.
#include "host.hpp"

PYBIND11_MODULE(Vorlantide, m) { (void)m; }
