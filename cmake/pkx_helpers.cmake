# Helper functions of the top CMakeLists.

set(PKX_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

# Product code (the engine and the updater programs) is built without
# exceptions on both targets, so a use fails early on Linux too. On Windows it
# also drops RTTI, unwind tables and the guards of function-local statics (the
# static runtime's guard functions throw, which would pull the exception
# machinery into the image; statics are set up before the worker starts).
# Linux keeps RTTI because the sanitizers' vptr check misreads objects made by
# code built without it.
function(pkx_product_code target)
  target_compile_options(${target} PRIVATE -fno-exceptions)
  if(WIN32)
    target_compile_options(${target} PRIVATE
      -fno-rtti -fno-asynchronous-unwind-tables -fno-threadsafe-statics)
  endif()
endfunction()

# A product executable. On Windows it carries the small language runtime that
# keeps libstdc++'s exception machinery (about 200 KB) out of the image.
function(pkx_product_executable target)
  pkx_product_code(${target})
  if(WIN32)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/win32/product_runtime.cpp)
  endif()
endfunction()

# Adds a test that fails when the target's file is larger than `limit` bytes.
function(pkx_check_size target limit)
  add_test(NAME ${target}_size
           COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -DLIMIT=${limit}
                   -P ${PKX_CMAKE_DIR}/check_size.cmake)
endfunction()

# Compiles the built-in string table into a Windows executable. Resources in a
# static library are never pulled into the image, so every executable that
# calls LoadStringA lists the .rc itself. texts/texts.cmake sets PKX_TEXTS_RC.
function(pkx_link_texts target)
  if(WIN32 AND PKX_TEXTS_RC)
    # One target generates the script, so parallel builds of several
    # executables do not run the generator at the same time.
    if(NOT TARGET pkx_texts_rc)
      add_custom_target(pkx_texts_rc DEPENDS ${PKX_TEXTS_RC})
    endif()
    target_sources(${target} PRIVATE ${PKX_TEXTS_RC})
    add_dependencies(${target} pkx_texts_rc)
  endif()
endfunction()

# The layers a layer stands on: `items` with each layer among them replaced by
# itself and every layer below it, in <out_var>. Other items stay as given.
function(pkx_expand_layers out_var)
  set(expanded "")
  foreach(item ${ARGN})
    get_property(stack GLOBAL PROPERTY PKX_LAYER_STACK_${item})
    if(stack)
      list(APPEND expanded ${stack})
    else()
      list(APPEND expanded ${item})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES expanded)
  set(${out_var} ${expanded} PARENT_SCOPE)
endfunction()

# Gives <target> an include root in the build tree that holds links to the
# headers of <folder> (but not of the `exclude` subfolders, which are other
# targets), so that "<folder>/x.h" resolves for <target> and for what links it,
# and for nothing else.
function(pkx_layer_include_root target folder)
  set(root ${CMAKE_BINARY_DIR}/layers/${target})
  file(REMOVE_RECURSE ${root})
  file(GLOB_RECURSE headers CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}
       ${PROJECT_SOURCE_DIR}/${folder}/*.h)
  foreach(header ${headers})
    set(skip FALSE)
    foreach(excluded ${ARGN})
      if(header MATCHES "^${excluded}/")
        set(skip TRUE)
      endif()
    endforeach()
    if(NOT skip)
      get_filename_component(dir ${root}/${header} DIRECTORY)
      file(MAKE_DIRECTORY ${dir})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${header} ${root}/${header} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} PUBLIC ${root})
endfunction()

# pkx_layer(<target> <folder> [PRODUCT] [EXCLUDE <subfolders>...] [ON <layers>...])
# A static library of <folder>'s sources, recursively, but those of the
# EXCLUDE subfolders (other targets). It links PRIVATE the ON layers and every
# layer below them, so it sees their headers and no others; the layer and
# those below it form its stack, which a layer or program built ON it links.
# PRODUCT builds it as product code. The layer joins PKX_ALL_LAYERS.
function(pkx_layer target folder)
  cmake_parse_arguments(arg "PRODUCT" "" "EXCLUDE;ON" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.cpp)
  foreach(excluded ${arg_EXCLUDE})
    list(FILTER sources EXCLUDE REGEX "^${PROJECT_SOURCE_DIR}/${excluded}(/|$)")
  endforeach()
  add_library(${target} STATIC ${sources})
  pkx_layer_include_root(${target} ${folder} ${arg_EXCLUDE})
  pkx_expand_layers(below ${arg_ON})
  target_link_libraries(${target} PRIVATE ${below})
  if(arg_PRODUCT)
    pkx_product_code(${target})
  endif()
  set_property(GLOBAL PROPERTY PKX_LAYER_STACK_${target} ${target} ${below})
  set(PKX_ALL_LAYERS ${PKX_ALL_LAYERS} ${target} PARENT_SCOPE)
endfunction()

# pkx_program(<library> <executable> <folder> [GUI] [PRODUCT] [ON <items>...])
# <folder>/*.cpp but main.cpp: static library <library>, a layer on <items>.
# <folder>/main.cpp (and <folder>/*.rc): <executable> on <library>.
# GUI makes a Windows GUI executable; PRODUCT builds it as product code.
function(pkx_program library executable folder)
  cmake_parse_arguments(arg "GUI;PRODUCT" "" "ON" ${ARGN})
  set(dir ${PROJECT_SOURCE_DIR}/${folder})
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  file(GLOB resources CONFIGURE_DEPENDS ${dir}/*.rc)
  list(REMOVE_ITEM sources ${dir}/main.cpp)
  add_library(${library} STATIC ${sources})
  pkx_layer_include_root(${library} ${folder})
  pkx_expand_layers(below ${arg_ON})
  target_link_libraries(${library} PRIVATE ${below})
  set_property(GLOBAL PROPERTY PKX_LAYER_STACK_${library} ${library} ${below})
  if(arg_PRODUCT)
    pkx_product_code(${library})
  endif()
  if(arg_GUI)
    add_executable(${executable} WIN32 ${dir}/main.cpp ${resources})
  else()
    add_executable(${executable} ${dir}/main.cpp ${resources})
  endif()
  target_link_libraries(${executable} PRIVATE ${library} ${below})
  if(arg_PRODUCT)
    pkx_product_executable(${executable})
  endif()
endfunction()

# Runs the Windows executables (tests, try_run) under Wine, in a prefix of
# this build folder. build-folder/wine-run.sh is also usable by hand.
macro(pkx_setup_wine)
  if(CMAKE_CROSSCOMPILING)
    # 64-bit Windows (the wine64 package): the x86-64 build runs there, and
    # the i686 build's tests of the 64-bit registry view.
    find_program(PKX_WINE64 wine64 PATHS /usr/lib/wine)
    find_program(PKX_WINESERVER64 wineserver64 PATHS /usr/lib/wine)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      if(NOT PKX_WINE64 OR NOT PKX_WINESERVER64)
        message(FATAL_ERROR "the x86-64 build runs under 64-bit Wine: install wine64")
      endif()
      set(PKX_WINE_BUILD_ARCH win64)
      set(PKX_WINE ${PKX_WINE64})
      set(PKX_WINESERVER ${PKX_WINESERVER64})
    else()
      set(PKX_WINE_BUILD_ARCH win32)
      find_program(PKX_WINE wine REQUIRED)
      find_program(PKX_WINESERVER wineserver REQUIRED)
    endif()
    set(PKX_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    configure_file(${PKX_CMAKE_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
                   @ONLY)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
  endif()
endmacro()

# GoogleTest for Windows from the sources Debian's googletest package ships.
macro(pkx_add_googletest_from_source)
  set(PKX_GTEST_SOURCE_DIR /usr/src/googletest/googletest CACHE PATH
      "GoogleTest sources used for the Windows build")
  if(NOT EXISTS ${PKX_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${PKX_GTEST_SOURCE_DIR}: "
                        "install the googletest package (scripts/setup.sh)")
  endif()
  # Win32 synchronisation rather than pthreads inside GoogleTest.
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${PKX_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(lib gtest gtest_main)
    target_compile_options(${lib} PRIVATE -w)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
endmacro()

# fuzz/*_fuzzer.cpp: one libFuzzer executable each. seed_corpus: a plain
# program (fuzz/seed_corpus.cpp with the fuzz/*_seeds.cpp it calls) writing
# seed inputs into argv[1]/<fuzzer name>/. Any other fuzz/*.cpp is shared.
function(pkx_add_fuzzers)
  set(dir ${PROJECT_SOURCE_DIR}/fuzz)
  file(GLOB fuzzers CONFIGURE_DEPENDS ${dir}/*_fuzzer.cpp)
  file(GLOB seeds CONFIGURE_DEPENDS ${dir}/*_seeds.cpp)
  file(GLOB shared CONFIGURE_DEPENDS ${dir}/*.cpp)
  list(REMOVE_ITEM shared ${fuzzers} ${seeds} ${dir}/seed_corpus.cpp)
  set(libs ${PKX_ALL_LAYERS})
  foreach(src ${fuzzers})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src} ${shared})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PRIVATE ${libs})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  endforeach()
  add_executable(seed_corpus ${dir}/seed_corpus.cpp ${seeds} ${shared})
  target_include_directories(seed_corpus PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(seed_corpus PRIVATE ${libs})
endfunction()

# CLI11 and toml++ for the Windows builder, header-only from Debian's
# packages: an include root of their own, so that no other Linux header is
# seen by the cross compiler.
macro(pkx_header_only_libraries)
  set(root ${CMAKE_BINARY_DIR}/third_party/include)
  file(MAKE_DIRECTORY ${root})
  foreach(dir CLI toml++)
    if(NOT EXISTS /usr/include/${dir})
      message(FATAL_ERROR "/usr/include/${dir} not found: install libcli11-dev and "
                          "libtomlplusplus-dev (scripts/setup.sh)")
    endif()
    file(CREATE_LINK /usr/include/${dir} ${root}/${dir} SYMBOLIC)
  endforeach()
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${root})
  add_library(tomlplusplus::tomlplusplus INTERFACE IMPORTED)
  target_include_directories(tomlplusplus::tomlplusplus SYSTEM INTERFACE ${root})
  target_compile_definitions(tomlplusplus::tomlplusplus INTERFACE TOML_HEADER_ONLY=1)
endmacro()

# pkxbuild.exe: the built-in texts as a C++ table (as on Linux, where the
# platform serves them) for the builder's own messages, and as resources. The builder and the
# package writer are optimised for speed as on Linux; -Os is for the updater.
macro(pkx_windows_builder)
  foreach(lib pkx_builder pkx_package_writer pkx_builder_cli)
    target_compile_options(${lib} PRIVATE -O2)
  endforeach()
  target_sources(pkx_builder PRIVATE ${PKX_TEXTS_CPP})
  # The string table the updater's engine loads its texts from in the proof,
  # as the Windows updater does.
  pkx_link_texts(pkxbuild)
  set(header platform/posix/builtin_texts.h)
  set(root ${CMAKE_BINARY_DIR}/layers/pkx_builder)
  file(MAKE_DIRECTORY ${root}/platform/posix)
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${header} ${root}/${header} SYMBOLIC)
endmacro()
