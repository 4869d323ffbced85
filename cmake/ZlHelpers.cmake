# Helpers shared by every folder.

# Includes every *.cmake fragment of the calling folder, in name order.
macro(zl_include_fragments)
  file(GLOB _zl_frags CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cmake")
  list(SORT _zl_frags)
  foreach(_zl_frag IN LISTS _zl_frags)
    include(${_zl_frag})
  endforeach()
endmacro()

# zl_library(NAME SOURCES a.cpp b.cpp LIBS dep1 dep2)
# A static library of one component; the repository root is its include root,
# so headers are included as "engine/base/clock.h".
function(zl_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(${name} PUBLIC ${ARG_LIBS} Threads::Threads)
endfunction()

# zl_test(NAME SOURCES ... LIBS ... [THREADED] [LABELS ...])
# A GoogleTest executable registered with ctest. THREADED tests also run in the
# TSan build (label "threaded").
function(zl_test name)
  cmake_parse_arguments(ARG "THREADED" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE ZL_SOURCE_DIR="${PROJECT_SOURCE_DIR}" ZL_BINARY_DIR="${PROJECT_BINARY_DIR}")
  # One label per test: gtest_discover_tests takes PROPERTIES as a flat
  # key/value list, so a list-valued LABELS would be split apart. "-L unit"
  # selects every test and "-L threaded" the threaded ones (labels are regexes).
  set(labels unit)
  if(ARG_THREADED)
    set(labels unit_threaded)
    add_dependencies(zl_threaded_tests ${name})
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS ${labels} TIMEOUT ${ARG_TIMEOUT})
endfunction()

# zl_fuzzer(NAME SOURCES ... LIBS ...): a libFuzzer target, run for
# ZL_FUZZ_SECONDS under ctest from its seed corpus fuzz/corpus/NAME.
function(zl_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set(corpus ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  set(work ${PROJECT_BINARY_DIR}/fuzz-corpus/${name})
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
                   sh -c "mkdir -p '${work}' && exec '$<TARGET_FILE:${name}>' -max_total_time=${ZL_FUZZ_SECONDS} -rss_limit_mb=2048 -timeout=10 -print_final_stats=0 '${work}' '${corpus}'")
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()

# zl_bench(NAME SOURCES ... LIBS ...): a Google Benchmark executable (not run by the tests).
function(zl_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark)
endfunction()
