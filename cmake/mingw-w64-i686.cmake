# Toolchain for the 32-bit Windows program: mingw-w64 (posix thread model), run under Wine.
set(KORVEL_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KORVEL_CROSS_PREFIX_DEFAULT /opt/korvel-cross)
set(KORVEL_CROSS_PREFIX_ENV KORVEL_CROSS_PREFIX)
set(KORVEL_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
