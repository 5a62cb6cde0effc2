# Decides whether the tests are built, by SORVALEN_TESTS:
#   auto  where GoogleTest is found (the default), so that the program builds
#         on a machine with only a compiler and CMake;
#   ON    always: configure fails when GoogleTest is missing;
#   OFF   never.
# GoogleTest is taken from the sources Debian ships (package googletest, in
# SORVALEN_GTEST_SOURCES) where they are present, so that it gets the same
# flags and sanitizers as the project; else from an installed GoogleTest
# (find_package). An empty SORVALEN_GTEST_SOURCES ignores the sources.
#
# Sets SORVALEN_GTEST_FROM to "sources", "package" or "" (none found), and
# SORVALEN_BUILD_TESTS to ON or OFF.
set(SORVALEN_TESTS auto CACHE STRING "Build the tests: auto (where GoogleTest is found), ON or OFF")
set(SORVALEN_GTEST_SOURCES /usr/src/googletest CACHE PATH
    "GoogleTest sources to build the tests with; empty for an installed GoogleTest only")

string(TOLOWER "${SORVALEN_TESTS}" sorvalen_tests_wanted)
if(sorvalen_tests_wanted STREQUAL "auto")
  set(sorvalen_tests_wanted auto)
elseif(SORVALEN_TESTS)
  set(sorvalen_tests_wanted on)
else()
  set(sorvalen_tests_wanted off)
endif()

set(SORVALEN_GTEST_FROM "")
set(SORVALEN_BUILD_TESTS OFF)
if(sorvalen_tests_wanted STREQUAL "off")
  message(STATUS "sorvalen: tests: off (SORVALEN_TESTS=${SORVALEN_TESTS})")
else()
  if(SORVALEN_GTEST_SOURCES AND EXISTS "${SORVALEN_GTEST_SOURCES}/CMakeLists.txt")
    set(SORVALEN_GTEST_FROM sources)
    set(sorvalen_gtest_where "GoogleTest sources in ${SORVALEN_GTEST_SOURCES}")
  else()
    find_package(GTest QUIET)
    if(GTest_FOUND AND TARGET GTest::gtest_main)
      set(SORVALEN_GTEST_FROM package)
      set(sorvalen_gtest_where "installed GoogleTest ${GTest_VERSION}")
    endif()
  endif()

  if(SORVALEN_GTEST_FROM)
    set(SORVALEN_BUILD_TESTS ON)
    message(STATUS "sorvalen: tests: on (${sorvalen_gtest_where})")
  elseif(sorvalen_tests_wanted STREQUAL "on")
    message(FATAL_ERROR "sorvalen: SORVALEN_TESTS=${SORVALEN_TESTS}, but GoogleTest was found neither as "
                        "sources (SORVALEN_GTEST_SOURCES='${SORVALEN_GTEST_SOURCES}') nor installed "
                        "(find_package(GTest)). Install Debian's googletest or libgtest-dev, or "
                        "configure with -DSORVALEN_TESTS=OFF.")
  else()
    message(STATUS "sorvalen: tests: off (no GoogleTest found; Debian's googletest or libgtest-dev "
                   "brings it)")
  endif()
endif()
