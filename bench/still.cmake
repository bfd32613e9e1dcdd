# Stored pictures: unpacking and decoding, and the enhancement, of one photograph.
add_executable(bench_still ${CMAKE_CURRENT_LIST_DIR}/bench_still.cpp)
target_link_libraries(bench_still PRIVATE torvex_sim_encoder torvex_imageio torvex_frame_tools benchmark::benchmark)
target_compile_definitions(bench_still PRIVATE TORVEX_PHOTOS_DIR="${TORVEX_PHOTOS_DIR}")
