#include "tessaron.hpp"

namespace tessaron {

void define_submesh(const qh::Namespace&) {}

}  // namespace tessaron
