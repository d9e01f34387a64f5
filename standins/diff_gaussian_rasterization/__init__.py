"""quarnet's stand-in for the rasteriser package diff_gaussian_rasterization.

It provides only the fused SSIM kernels, as ``diff_gaussian_rasterization._C``:

    fusedssim(C1, C2, img1, img2) -> SSIM map
    fusedssim_backward(C1, C2, img1, img2, dL_dmap) -> gradient with respect to img1

for CPU float32/float64 tensors laid out (N, C, H, W), with the 11 x 11
Gaussian window of standard deviation 1.5 and zero padding. There is no
rasteriser here.
"""
