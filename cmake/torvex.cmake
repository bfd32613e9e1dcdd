# torvex_add_test(NAME SOURCES src... LIBS lib... [LABELS label...])
# Builds one GoogleTest executable and registers each of its test cases with CTest.
# Tests find the sample photographs through TORVEX_PHOTOS_DIR.
# Label "concurrent" marks suites that also run under ThreadSanitizer.
function(torvex_add_test name)
  if(NOT TORVEX_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE TORVEX_PHOTOS_DIR="${TORVEX_PHOTOS_DIR}"
                                             TORVEX_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${T_LABELS}")
  if("concurrent" IN_LIST T_LABELS)
    set_property(GLOBAL APPEND PROPERTY TORVEX_CONCURRENT_TESTS ${name})
  endif()
endfunction()

# torvex_add_fuzzer(NAME SOURCES src... LIBS lib...)
# A libFuzzer target; only built when TORVEX_FUZZ is on (clang).
function(torvex_add_fuzzer name)
  if(NOT TORVEX_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_property(GLOBAL APPEND PROPERTY TORVEX_FUZZERS ${name})
endfunction()

# Every library is instrumented for coverage in the fuzz build.
if(TORVEX_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
