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

# Windows programs of the build (tools the build runs, tests) run under Wine, in one prefix
# that every Windows build folder shares, made once, outside the build trees: a prefix is
# some 700 MB and takes a while to make.
if(NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(korvo_cache_home $ENV{XDG_CACHE_HOME})
else()
  set(korvo_cache_home $ENV{HOME}/.cache)
endif()
set(KORVO_WINE_PREFIX ${korvo_cache_home}/korvo/wine CACHE PATH
    "Wine prefix of the Windows programs and tests, shared by every build folder")
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${KORVO_WINE_PREFIX})
endif()
