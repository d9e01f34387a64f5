#include "tessaron.hpp"

namespace tessaron {

void define_face_search(const qh::Namespace&) {}

}  // namespace tessaron
