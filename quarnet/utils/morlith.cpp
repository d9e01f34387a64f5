// Module morlith: image-similarity losses.
#include "host.hpp"

PYBIND11_MODULE(morlith, m) { (void)m; }
