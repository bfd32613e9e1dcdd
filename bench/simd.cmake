# Frame decoding on every vector path against libjpeg-turbo (bench_simd.cpp
# explains the rows and how the plain C rows run in a child process).
add_executable(bench_simd ${CMAKE_CURRENT_LIST_DIR}/bench_simd.cpp)
target_link_libraries(bench_simd PRIVATE torvex_sim_encoder torvex_imageio torvex_frame_tools torvex_decoder
  JPEG::JPEG benchmark::benchmark)
target_include_directories(bench_simd PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(bench_simd PRIVATE TORVEX_PHOTOS_DIR="${TORVEX_PHOTOS_DIR}")
