torvex_add_fuzzer(fuzz_decode_frame SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_decode_frame.cpp LIBS torvex_decoder)
