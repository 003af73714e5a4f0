# Cross build for 32-bit Windows (i686): the updater users run.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PKX_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
