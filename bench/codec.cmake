# Frame decoding and encoding of a real photograph.
add_executable(bench_codec ${CMAKE_CURRENT_LIST_DIR}/bench_codec.cpp)
target_link_libraries(bench_codec PRIVATE torvex_sim_encoder torvex_imageio torvex_frame_tools torvex_decoder benchmark::benchmark)
target_include_directories(bench_codec PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(bench_codec PRIVATE TORVEX_PHOTOS_DIR="${TORVEX_PHOTOS_DIR}")
