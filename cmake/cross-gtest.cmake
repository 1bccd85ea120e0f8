# When cross-compiling there is no GoogleTest for the target to find, so it
# is built from the sources Debian ships and offered to find_package(GTest)
# under its usual target names. Native builds are left to the system's
# package. Include from the top-level CMakeLists before the tests.
if(NOT CMAKE_CROSSCOMPILING OR NOT TAVRIX_TESTS OR TARGET GTest::gtest)
  return()
endif()

set(TAVRIX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources built for the target")
if(NOT EXISTS ${TAVRIX_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${TAVRIX_GTEST_SOURCE} (install googletest)")
endif()

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)

# Third-party code is not held to the project's warnings-as-errors.
get_directory_property(_tavrix_saved_options COMPILE_OPTIONS)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
add_subdirectory(${TAVRIX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${_tavrix_saved_options}")

# Recent GoogleTest names its targets GTest::... itself; older ones do not.
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()

# An empty package configuration makes find_package(GTest) succeed and use
# the targets above.
set(_tavrix_gtest_config ${CMAKE_BINARY_DIR}/gtest-config)
file(WRITE ${_tavrix_gtest_config}/GTestConfig.cmake
     "# GoogleTest is built in this tree; its targets already exist.\n")
set(GTest_DIR ${_tavrix_gtest_config} CACHE PATH "" FORCE)
