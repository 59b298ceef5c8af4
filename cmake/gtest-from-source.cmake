# GoogleTest for the tests: Debian's prebuilt libraries are 64-bit Linux only,
# so a 32-bit build (cmake/linux-i686.cmake, or -m32 flags) and the Windows
# cross build (cmake/mingw-i686.cmake, tests run under Wine) compile
# GoogleTest from its source package instead.
#
# Include this file where the tests are defined, in place of
# find_package(GTest). It defines the targets GTest::gtest, GTest::gtest_main,
# GTest::gmock and GTest::gmock_main (plus the older GTest::GTest and
# GTest::Main names) in both cases.
#
#   PELRIN_GTEST_FROM_SOURCE  ON: build from PELRIN_GTEST_SOURCE_DIR.
#                             OFF: find_package(GTest) (the default for 64-bit).
if(CMAKE_SIZEOF_VOID_P EQUAL 4 OR CMAKE_CROSSCOMPILING)
  set(_pelrin_gtest_src_default ON)
else()
  set(_pelrin_gtest_src_default OFF)
endif()
option(PELRIN_GTEST_FROM_SOURCE "Build GoogleTest from its source tree" ${_pelrin_gtest_src_default})
set(PELRIN_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest source tree")

# A cross-built test program cannot be listed at build time without its
# emulator (Wine) set up: list the tests when ctest runs them instead.
if(CMAKE_CROSSCOMPILING AND NOT DEFINED CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE)
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()

if(PELRIN_GTEST_FROM_SOURCE)
  if(NOT TARGET gtest)
    if(NOT EXISTS "${PELRIN_GTEST_SOURCE_DIR}/CMakeLists.txt")
      message(FATAL_ERROR "PELRIN_GTEST_FROM_SOURCE: no CMakeLists.txt in ${PELRIN_GTEST_SOURCE_DIR} (Debian: apt-get install googletest)")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    # GoogleTest's own sources are not held to the project's warning flags.
    add_subdirectory("${PELRIN_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/_googletest" EXCLUDE_FROM_ALL)
    foreach(_t gtest gtest_main gmock gmock_main)
      if(TARGET ${_t})
        target_compile_options(${_t} PRIVATE -w)
      endif()
    endforeach()
  endif()
  foreach(_t gtest gtest_main gmock gmock_main)
    if(TARGET ${_t} AND NOT TARGET GTest::${_t})
      add_library(GTest::${_t} ALIAS ${_t})
    endif()
  endforeach()
  if(NOT TARGET GTest::GTest)
    add_library(GTest::GTest ALIAS gtest)
  endif()
  if(NOT TARGET GTest::Main)
    add_library(GTest::Main ALIAS gtest_main)
  endif()
  set(GTest_FOUND TRUE)
  set(GTEST_FOUND TRUE)
  include(GoogleTest)
else()
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    message(FATAL_ERROR "PELRIN_BUILD_TESTS=ON needs GoogleTest (Debian: googletest, libgtest-dev), or configure with -DPELRIN_BUILD_TESTS=OFF")
  endif()
  include(GoogleTest)
endif()
