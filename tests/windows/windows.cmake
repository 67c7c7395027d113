# Windows builds: GoogleTest has no package for the cross compiler, so it is built here from
# Debian's sources (/usr/src/googletest, package googletest). The test programs run under
# the build's emulator (Wine, see cmake/mingw-w64.cmake).
set(KORVO_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for Windows")
if(NOT EXISTS ${KORVO_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${KORVO_GTEST_SOURCE} (install googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KORVO_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(t gtest gtest_main gmock gmock_main)
  # Our own warning set is for our code, not for a third party's.
  set_property(TARGET ${t} PROPERTY COMPILE_OPTIONS "")
  if(NOT TARGET GTest::${t})
    add_library(GTest::${t} ALIAS ${t})
  endif()
endforeach()
