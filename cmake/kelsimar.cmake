# The stand-in per-object trainer, all under standins/kelsimar: the child
# program kelsimar-run (command line, input check, manifest) and the module
# quarnet.gaussian_seg.Kelsimar, tested end to end through the module. The
# program is installed beside the module, which finds it next to its own
# __file__.
set(KELSIMAR_DIR ${PROJECT_SOURCE_DIR}/standins/kelsimar)

if(QUARNET_BUILD_PYTHON)
  quarnet_module(kelsimar Kelsimar quarnet/gaussian_seg ${KELSIMAR_DIR}/Kelsimar.cpp)

  add_executable(kelsimar_run ${KELSIMAR_DIR}/kelsimar_run.cpp ${KELSIMAR_DIR}/object_check.cpp
                              ${KELSIMAR_DIR}/manifest.cpp)
  set_target_properties(kelsimar_run PROPERTIES OUTPUT_NAME kelsimar-run)
  target_link_libraries(kelsimar_run PRIVATE quarnet_core)
  install(TARGETS kelsimar_run RUNTIME DESTINATION quarnet/gaussian_seg)
endif()
