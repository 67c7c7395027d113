# Cross build for 64-bit Windows with Debian's mingw-w64 compilers (the POSIX thread model,
# so std::thread and friends work; the top CMakeLists links the runtime statically).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVO_MINGW_TRIPLET}-windres)

# Libraries and headers come from the target's sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KORVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows programs of the build (tools the build runs, tests) run under Wine, in a prefix
# inside the build folder.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
endif()
