"""References that tests and benchmarks compare quarnet with, written plainly
with the libraries the modules stand in for; never used by quarnet itself.

    plain_pipeline     the depth lifting and masked extraction in numpy, SciPy,
                       OpenCV and Open3D, with the module's rules
    trimesh_reference  trimesh's own face search and cut, as the module calls them
    scenes             sample scenes made noisy or stacked, their cleaned clouds
                       and their true segmentation
    ssim_maps          the map SSIM averages, a float64 window, the fused-kernel stand-in
    natural_images     image pairs with gradients, textures and flat patches, from a seed
"""
