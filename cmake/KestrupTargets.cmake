# Common compile settings for the project's own targets.
function(kestrup_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                         -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
                         -Woverloaded-virtual -Wformat=2)
  if(KESTRUP_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# kestrup_library(NAME SOURCES ... [DEPS ...])
# One static library per folder; its headers are included as "folder/Header.h".
function(kestrup_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  kestrup_warnings(${name})
endfunction()

# kestrup_test(NAME SOURCES ... [DEPS ...] [LABELS ...] [SKIPS_WHEN_SKIPPED])
# A GoogleTest executable registered with CTest. Label "tsan" marks tests that
# the ThreadSanitizer run covers (thread-heavy code without Qt in the way);
# the target kestrup_tsan_suites builds them all.
# With SKIPS_WHEN_SKIPPED a test that GoogleTest skips is reported to CTest as
# skipped, not as passed.
function(kestrup_test name)
  cmake_parse_arguments(ARG "SKIPS_WHEN_SKIPPED" "" "SOURCES;DEPS;LABELS" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main
                        Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  kestrup_warnings(${name})
  include(GoogleTest)
  set(skip)
  if(ARG_SKIPS_WHEN_SKIPPED)
    set(skip SKIP_REGULAR_EXPRESSION "  SKIPPED ")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_LIST ${name}_TESTS
                       PROPERTIES TIMEOUT 300 ${skip})
  if("tsan" IN_LIST ARG_LABELS)
    # What the ThreadSanitizer run needs, and nothing else, is built by the
    # tsan preset.
    if(NOT TARGET kestrup_tsan_suites)
      add_custom_target(kestrup_tsan_suites)
    endif()
    add_dependencies(kestrup_tsan_suites ${name})
  endif()
  if(ARG_LABELS)
    # The labels go on the discovered tests from a script CTest reads after
    # the discovery's own: handed to the discovery's properties, a second
    # label would be taken for a property name and lost.
    set(labels_script "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
    file(WRITE "${labels_script}"
         "if(${name}_TESTS)\n"
         "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${ARG_LABELS}\")\n"
         "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_script}")
  endif()
endfunction()
