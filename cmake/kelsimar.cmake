# The stand-in per-object trainer, all under standins/kelsimar: its support
# library (command line, input check, manifest), the child program
# kelsimar-run, the module quarnet.gaussian_seg.Kelsimar, and their unit tests.
# The program is installed beside the module, which finds it next to its own
# __file__.
set(KELSIMAR_DIR ${PROJECT_SOURCE_DIR}/standins/kelsimar)

add_library(kelsimar_support STATIC ${KELSIMAR_DIR}/object_check.cpp ${KELSIMAR_DIR}/manifest.cpp)
target_include_directories(kelsimar_support PUBLIC ${KELSIMAR_DIR})
target_link_libraries(kelsimar_support PUBLIC quarnet_core)

if(QUARNET_BUILD_PYTHON)
  quarnet_module(kelsimar Kelsimar quarnet/gaussian_seg ${KELSIMAR_DIR}/Kelsimar.cpp)

  add_executable(kelsimar_run ${KELSIMAR_DIR}/kelsimar_run.cpp)
  set_target_properties(kelsimar_run PROPERTIES OUTPUT_NAME kelsimar-run)
  target_link_libraries(kelsimar_run PRIVATE kelsimar_support)
  install(TARGETS kelsimar_run RUNTIME DESTINATION quarnet/gaussian_seg)
endif()

if(QUARNET_BUILD_TESTS)
  add_executable(kelsimar_tests ${KELSIMAR_DIR}/trainer_check_test.cpp)
  target_link_libraries(kelsimar_tests PRIVATE kelsimar_support GTest::gtest GTest::gtest_main)
  gtest_discover_tests(kelsimar_tests)
endif()
