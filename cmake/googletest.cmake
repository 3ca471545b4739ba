# GoogleTest for the unit tests. A native build uses Debian's installed
# libraries; a cross build compiles Debian's sources (/usr/src/googletest,
# package googletest) for the target, since the installed libraries are for
# the build machine. Either way the targets are GTest::gtest, GTest::gtest_main
# and GTest::gmock.
if(CMAKE_CROSSCOMPILING)
  set(RIG_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
  if(NOT EXISTS ${RIG_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${RIG_GOOGLETEST_SOURCE_DIR} (apt-get install googletest)")
  endif()
  # Built only as far as the tests need it, and never installed with the program.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${RIG_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()
