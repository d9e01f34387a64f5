# The stand-in per-object trainer: the module quarnet.gaussian_seg.Kelsimar and
# its child program kelsimar-run, installed beside it (it finds the program
# next to its own __file__).
quarnet_module(kelsimar Kelsimar quarnet/gaussian_seg ${PROJECT_SOURCE_DIR}/quarnet/gaussian_seg/Kelsimar.cpp)

add_executable(kelsimar_run ${PROJECT_SOURCE_DIR}/quarnet/gaussian_seg/kelsimar_run.cpp)
set_target_properties(kelsimar_run PROPERTIES OUTPUT_NAME kelsimar-run)
target_link_libraries(kelsimar_run PRIVATE quarnet_core)
install(TARGETS kelsimar_run RUNTIME DESTINATION quarnet/gaussian_seg)
