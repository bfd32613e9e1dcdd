# Parsing of configuration descriptors received from a device.
torvex_add_fuzzer(fuzz_usb_descriptors SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_usb_descriptors.cpp LIBS torvex_platform_usb)
