# GoogleTest: the installed package on the build machine, its sources for a cross build.
if(CMAKE_CROSSCOMPILING)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# hb_test(name SOURCES ... [LIBS ...] [LABELS ...]): one GoogleTest binary; every case runs
# as its own process, because a case that starts the library cannot stop it again.
# LABELS board marks every binary that starts a thread of the library (the device thread, the
# input thread) against the models; those also run under ThreadSanitizer.
function(hb_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE hb_warnings hidbridge_static ${T_LIBS} GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 LABELS "${T_LABELS}")
endfunction()
