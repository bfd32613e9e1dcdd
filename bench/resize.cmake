# The resize and rotation stages of the frame decoder on each vector path
# (bench_resize.cpp names the rows).
add_executable(bench_resize ${CMAKE_CURRENT_LIST_DIR}/bench_resize.cpp)
target_link_libraries(bench_resize PRIVATE torvex_decoder benchmark::benchmark)

