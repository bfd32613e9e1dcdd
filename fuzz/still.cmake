torvex_add_fuzzer(fuzz_decode_still SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_decode_still.cpp LIBS torvex_decoder)
