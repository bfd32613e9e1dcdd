# Formats and data ranges handed to the capture driver by applications.
torvex_add_fuzzer(fuzz_driver_formats SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_driver_formats.cpp LIBS torvex_driver)
