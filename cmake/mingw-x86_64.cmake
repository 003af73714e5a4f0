# Cross build for 64-bit Windows (x86-64): the same programs and tests, run
# under 64-bit Wine where a machine cannot run 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(PKX_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
