# The LZMA SDK's coder, compiled from where Debian's lzma-dev package installs
# its sources (public domain; scripts/setup.sh installs the package). The
# sources stay outside the tree and are built with warnings off, as they are.
#
#   pkx_lzma_decoder  LzmaDec.c: the updaters' decoder, built as product code
#   pkx_lzma_encoder  LzmaEnc.c and LzFind.c, single-threaded: the builder's
set(PKX_LZMA_SDK_DIR /usr/include/lzma CACHE PATH "The LZMA SDK's C sources (lzma-dev)")
if(NOT EXISTS ${PKX_LZMA_SDK_DIR}/LzmaDec.c OR NOT EXISTS ${PKX_LZMA_SDK_DIR}/LzmaEnc.c)
  message(FATAL_ERROR "LZMA SDK sources not found in ${PKX_LZMA_SDK_DIR}: "
                      "install the lzma-dev package (scripts/setup.sh)")
endif()

add_library(pkx_lzma_decoder STATIC ${PKX_LZMA_SDK_DIR}/LzmaDec.c)
add_library(pkx_lzma_encoder STATIC ${PKX_LZMA_SDK_DIR}/LzmaEnc.c ${PKX_LZMA_SDK_DIR}/LzFind.c)
# _7ZIP_ST: the encoder without its match-finder thread (whose sources the
# package does not ship).
target_compile_definitions(pkx_lzma_encoder PRIVATE _7ZIP_ST)
foreach(lib pkx_lzma_decoder pkx_lzma_encoder)
  target_compile_options(${lib} PRIVATE -w)
  target_include_directories(${lib} SYSTEM INTERFACE ${PKX_LZMA_SDK_DIR})
endforeach()
if(NOT WIN32)
  # Small like the rest of the updater (see the Linux updater's options).
  target_compile_options(pkx_lzma_decoder PRIVATE -Os -ffunction-sections -fdata-sections
                                                  -fno-asynchronous-unwind-tables -fno-plt)
else()
  target_compile_options(pkx_lzma_decoder PRIVATE -fno-asynchronous-unwind-tables)
endif()
target_compile_options(pkx_lzma_encoder PRIVATE -O2)

# The package layer reads compressed streams; the writer writes them.
target_link_libraries(pkx_package PRIVATE pkx_lzma_decoder)
target_link_libraries(pkx_package_writer PRIVATE pkx_lzma_encoder)
