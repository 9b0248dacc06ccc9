# Toolchain for a 64-bit build of the same sources, used only to run the Windows tests under Wine on
# machines whose kernel cannot start 32-bit programs (the shipped program stays 32-bit).
set(KORVEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KORVEL_CROSS_PREFIX_DEFAULT /opt/korvel-cross-x86_64)
set(KORVEL_CROSS_PREFIX_ENV KORVEL_CROSS_PREFIX_X86_64)
# /usr/bin/wine picks the 32-bit loader whenever it is installed, even where it cannot run.
set(KORVEL_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
