# Shared build settings and helper functions for every folder.

add_library(velt_warnings INTERFACE)
target_compile_options(velt_warnings INTERFACE -Wall -Wextra)
if(VELT_WERROR)
  target_compile_options(velt_warnings INTERFACE -Werror)
endif()
target_include_directories(velt_warnings INTERFACE ${PROJECT_SOURCE_DIR})

if(VELT_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(VELT_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VELT_SANITIZER STREQUAL "")
  message(FATAL_ERROR "VELT_SANITIZER must be address, thread or empty")
endif()
if(VELT_FUZZ)
  if(NOT VELT_SANITIZER STREQUAL "")
    message(FATAL_ERROR "VELT_FUZZ brings its own sanitizers: leave VELT_SANITIZER empty")
  endif()
  # Coverage and sanitizers in every library, so the fuzzer sees inside the code
  # under test; only the fuzz targets link libFuzzer itself (velt_fuzzer).
  # The lists are passed as copies named by their contents: the compiler and ccache
  # see only a list's name, so an edit must change it to rebuild what it affects.
  set(lists "")
  foreach(kind coverage sanitize)
    set(source ${PROJECT_SOURCE_DIR}/fuzz/${kind}_ignore.txt)
    file(MD5 ${source} md5)
    string(SUBSTRING ${md5} 0 12 md5)
    set(copy ${PROJECT_BINARY_DIR}/fuzz-${kind}-ignore-${md5}.txt)
    configure_file(${source} ${copy} COPYONLY)
    list(APPEND lists ${copy})
  endforeach()
  list(GET lists 0 coverage_list)
  list(GET lists 1 sanitize_list)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer -fsanitize-coverage-ignorelist=${coverage_list}
                      -fsanitize-ignorelist=${sanitize_list})
  add_link_options(-fsanitize=address,undefined)
endif()

# velt_library(NAME SOURCES ... [LIBS ...]): a static library of the project.
function(velt_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_link_libraries(${name} PUBLIC velt_warnings ${A_LIBS})
endfunction()

# velt_test(NAME SOURCES ... [LIBS ...] [GUI] [TIMED] [LABELS ...]): a GoogleTest
# executable registered with CTest. GUI tests run on the offscreen platform with a
# private runtime directory, so they need no display. TIMED: some of its tests hold a
# time bound or a CPU figure; they take the "timing" resource lock, so that no other
# such test (nor an end-to-end run) competes with them under "ctest -j".
function(velt_test name)
  cmake_parse_arguments(A "GUI;TIMED" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(A_GUI AND NOT VELT_BUILD_GUI)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE velt_warnings velt_testsupport ${A_LIBS} GTest::gtest GTest::gmock)
  set(props "")
  # One environment entry only: a list would be split into separate properties.
  # GUI tests choose the offscreen platform in their own main().
  set(env "VELT_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data")
  if(A_GUI)
    target_link_libraries(${name} PRIVATE velt_testsupport_gui)
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  # One label per test (a list would be split into separate properties on its
  # way through test discovery): "core" or "gui", joined with any extra ones, so
  # "ctest -L core" and "ctest -L stress" both select "core-stress".
  if(A_GUI)
    set(label gui)
  else()
    set(label core)
  endif()
  foreach(extra ${A_LABELS})
    string(APPEND label "-${extra}")
  endforeach()
  set(lock "")
  if(A_TIMED)
    set(lock RESOURCE_LOCK timing)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "${env}" LABELS "${label}" TIMEOUT 120 ${lock})
endfunction()

# velt_fuzzer(NAME SOURCE file LIBS ... [CORPUS dir] [DICT file]): with VELT_FUZZ a
# libFuzzer binary, built by the target velt_fuzzers and listed with its corpus and
# dictionary in <build>/fuzz-targets.txt for scripts/fuzz-ci.sh; always a replay
# executable that feeds every corpus file to the target, registered as a test so
# the normal run keeps the corpus passing.
function(velt_fuzzer name)
  cmake_parse_arguments(A "" "SOURCE;CORPUS;DICT" "LIBS" ${ARGN})
  if(VELT_FUZZ)
    add_executable(${name} ${A_SOURCE})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE velt_warnings ${A_LIBS})
    if(NOT TARGET velt_fuzzers)
      add_custom_target(velt_fuzzers)
    endif()
    add_dependencies(velt_fuzzers ${name})
    set_property(GLOBAL APPEND PROPERTY VELT_FUZZ_LIST
      "${name} $<TARGET_FILE:${name}> ${A_CORPUS} ${A_DICT}")
  endif()
  add_executable(${name}_replay ${A_SOURCE} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
  target_link_libraries(${name}_replay PRIVATE velt_warnings ${A_LIBS})
  if(A_CORPUS)
    add_test(NAME ${name}_corpus COMMAND ${name}_replay ${A_CORPUS})
    set_tests_properties(${name}_corpus PROPERTIES LABELS "core;fuzz" TIMEOUT 300)
  endif()
endfunction()

# velt_benchmark(NAME SOURCES ... LIBS ...): a Google Benchmark executable (not a test).
function(velt_benchmark name)
  if(NOT VELT_BUILD_BENCH)
    return()
  endif()
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE velt_warnings ${A_LIBS} benchmark::benchmark benchmark::benchmark_main)
endfunction()

# velt_tool(NAME SOURCES ... LIBS ...): a program beside the app, in build/<preset>/bin.
function(velt_tool name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE velt_warnings ${A_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
endfunction()
