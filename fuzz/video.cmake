# Isochronous packets from the camera, assembled into frames by the driver.
torvex_add_fuzzer(fuzz_video_assembly SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_video_assembly.cpp LIBS torvex_driver)
