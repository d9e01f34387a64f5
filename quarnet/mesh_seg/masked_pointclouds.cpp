#include "tessaron.hpp"

namespace tessaron {

void define_masked_pointclouds(const qh::Namespace&) {}

}  // namespace tessaron
