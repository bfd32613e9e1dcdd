# The whole live-video pipeline: camera packets through the host controller,
# frame assembly in the driver and decoding into the application's reads.
if(TARGET torvex_driver)
  add_executable(bench_pipeline ${CMAKE_CURRENT_LIST_DIR}/bench_pipeline.cpp)
  target_link_libraries(bench_pipeline PRIVATE torvex_capture_session torvex_imageio torvex_frame_tools
                                               benchmark::benchmark)
  target_compile_definitions(bench_pipeline PRIVATE TORVEX_PHOTOS_DIR="${TORVEX_PHOTOS_DIR}")
endif()
