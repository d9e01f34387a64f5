// Module morlith: the L1 and L2 pixel losses, a Gaussian-windowed SSIM built
// from torch operations, and a fused SSIM whose map and gradient come from
// native kernels.
#include "morlith.hpp"

QUARNET_MODULE(morlith, ns) {
  using namespace morlith;
  ns.import("torch");
  ns.import("torch.nn.functional", "F");
  ns.import_from("torch.autograd", "Variable");
  ns.import_from("math", "exp");
  import_fused_kernels(ns);

  define_pixel_losses(ns);
  define_gaussian_window(ns);
  define_windowed_ssim(ns);
  define_fused_ssim(ns);
}
