# Shared part of the mingw-w64 toolchain files: compilers, resource compiler, where libraries are found,
# and Wine as the emulator ctest runs the programs through. Expects KORVEL_MINGW_TRIPLE and friends.
set(CMAKE_SYSTEM_NAME Windows)

# The default (win32 thread model) compilers have no std::thread or std::mutex; the -posix ones link
# winpthreads statically, so no extra DLL ships.
set(CMAKE_C_COMPILER ${KORVEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVEL_MINGW_TRIPLE}-windres)

# The cross-built libxml2 and GoogleTest live outside the source tree, built once per machine by
# scripts/build-cross-deps.
if(DEFINED ENV{${KORVEL_CROSS_PREFIX_ENV}} AND NOT "$ENV{${KORVEL_CROSS_PREFIX_ENV}}" STREQUAL "")
  set(KORVEL_CROSS_PREFIX "$ENV{${KORVEL_CROSS_PREFIX_ENV}}")
else()
  set(KORVEL_CROSS_PREFIX ${KORVEL_CROSS_PREFIX_DEFAULT})
endif()
set(KORVEL_CROSS_PREFIX ${KORVEL_CROSS_PREFIX} CACHE PATH "Folder holding the cross-built libraries")

set(CMAKE_FIND_ROOT_PATH /usr/${KORVEL_MINGW_TRIPLE} ${KORVEL_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVEL_WINE_LOADER})

# CMake prefers libz.dll.a, and Wine ships a zlib1.dll, so a wrongly linked program would run here and
# fail on Windows: take the static archive.
set(ZLIB_USE_STATIC_LIBS ON)
