# Cost of simulated time: kernel timers and DPCs, and isochronous streaming on the simulated host controller.
add_executable(bench_platform_usb ${CMAKE_CURRENT_LIST_DIR}/bench_platform_usb.cpp)
target_link_libraries(bench_platform_usb PRIVATE torvex_platform_usb benchmark::benchmark)
