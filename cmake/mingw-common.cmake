# The MinGW-w64 cross build shared by both Windows toolchain files, which set
# PKX_MINGW_PREFIX first. Executables are run under Wine through
# CMAKE_CROSSCOMPILING_EMULATOR (set in the top CMakeLists).
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: GoogleTest needs std::mutex, which the win32 model
# lacks. Product images are byte for byte as small as with the win32 model,
# since they use no threading from the C++ library and link statically.
set(CMAKE_C_COMPILER ${PKX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PKX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PKX_MINGW_PREFIX}-windres)
set(CMAKE_AR ${PKX_MINGW_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${PKX_MINGW_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${PKX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Small code: optimise for size, one section per function so the linker can
# drop what is unused, no runtime DLLs beside the system's own (-static also
# takes winpthread in, where the tests need it). No -fdata-sections: for
# Windows targets GCC then emits zero-initialised objects into .data$ sections
# instead of .bss, so they take their full size in the file.
set(CMAKE_C_FLAGS_INIT "-Os -ffunction-sections")
set(CMAKE_CXX_FLAGS_INIT "-Os -ffunction-sections")
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-static -static-libgcc -static-libstdc++ -Wl,--gc-sections -Wl,--no-insert-timestamp -s")
