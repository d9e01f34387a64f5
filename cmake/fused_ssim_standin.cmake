# The fused SSIM kernels as the outside module diff_gaussian_rasterization._C.
# Installed under quarnet/_standins/ (not on sys.path), so that it never
# shadows a real rasteriser; QUARNET_INSTALL_FUSED_SSIM=ON also installs it as
# the top-level package diff_gaussian_rasterization.
set(FUSED_SSIM_STANDIN_DIR ${PROJECT_SOURCE_DIR}/standins/diff_gaussian_rasterization)
file(GLOB FUSED_SSIM_STANDIN_SOURCES CONFIGURE_DEPENDS ${FUSED_SSIM_STANDIN_DIR}/*.cpp)

quarnet_module(fused_ssim_standin _C quarnet/_standins/diff_gaussian_rasterization ${FUSED_SSIM_STANDIN_SOURCES})
install(FILES ${FUSED_SSIM_STANDIN_DIR}/__init__.py DESTINATION quarnet/_standins/diff_gaussian_rasterization)

if(QUARNET_INSTALL_FUSED_SSIM)
  install(TARGETS fused_ssim_standin LIBRARY DESTINATION diff_gaussian_rasterization)
  install(FILES ${FUSED_SSIM_STANDIN_DIR}/__init__.py DESTINATION diff_gaussian_rasterization)
endif()
