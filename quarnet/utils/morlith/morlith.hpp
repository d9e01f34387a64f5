// Module morlith: image-similarity losses on (N, C, H, W) image tensors.
#pragma once

#include "host.hpp"

namespace morlith {

namespace py = pybind11;
namespace qh = quarnet::host;

void define_pixel_losses(const qh::Namespace& ns);     // l1_loss, l2_loss
void define_gaussian_window(const qh::Namespace& ns);  // gaussian, create_window
void define_windowed_ssim(const qh::Namespace& ns);    // ssim, _ssim
void import_fused_kernels(const qh::Namespace& ns);    // fusedssim, fusedssim_backward, if available
void define_fused_ssim(const qh::Namespace& ns);       // C1, C2, FusedSSIMMap, fast_ssim

}  // namespace morlith
