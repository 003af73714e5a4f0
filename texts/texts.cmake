# The built-in display texts, generated from default_texts.tsv: the named IDs
# (texts/text_ids.h, part of the texts layer); a C++ table compiled into the
# POSIX platform, which serves it in place of resources; and on Windows a
# STRINGTABLE script, PKX_TEXTS_RC, that each executable compiles in
# (pkx_link_texts).
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(PKX_TEXTS_TABLE ${CMAKE_CURRENT_LIST_DIR}/default_texts.tsv)
set(PKX_TEXTS_GENERATOR ${CMAKE_CURRENT_LIST_DIR}/generate_texts.py)
set(PKX_TEXTS_OUTPUT_DIR ${CMAKE_CURRENT_BINARY_DIR}/texts)
file(MAKE_DIRECTORY ${PKX_TEXTS_OUTPUT_DIR})

# The names are generated when the build is configured, and again whenever
# the table or the generator changes.
set(PKX_TEXT_IDS_ROOT ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${PKX_TEXT_IDS_ROOT}/texts)
execute_process(
  COMMAND ${Python3_EXECUTABLE} ${PKX_TEXTS_GENERATOR} ${PKX_TEXTS_TABLE}
          --ids ${PKX_TEXT_IDS_ROOT}/texts/text_ids.h
  RESULT_VARIABLE PKX_TEXT_IDS_RESULT)
if(NOT PKX_TEXT_IDS_RESULT EQUAL 0)
  message(FATAL_ERROR "texts/default_texts.tsv: the text IDs could not be generated")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PKX_TEXTS_TABLE} ${PKX_TEXTS_GENERATOR})
target_include_directories(pkx_texts PUBLIC ${PKX_TEXT_IDS_ROOT})

if(WIN32)
  set(PKX_TEXTS_RC ${PKX_TEXTS_OUTPUT_DIR}/texts.rc)
  add_custom_command(
    OUTPUT ${PKX_TEXTS_RC}
    COMMAND Python3::Interpreter ${PKX_TEXTS_GENERATOR} ${PKX_TEXTS_TABLE} --rc ${PKX_TEXTS_RC}
    DEPENDS ${PKX_TEXTS_TABLE} ${PKX_TEXTS_GENERATOR}
    COMMENT "Generating the built-in string table resource"
    VERBATIM)
else()
  set(PKX_TEXTS_RC "")
endif()
# The C++ table: the POSIX platform's texts, and on Windows the builder's own.
set(PKX_TEXTS_CPP ${PKX_TEXTS_OUTPUT_DIR}/builtin_texts.cpp)
add_custom_command(
  OUTPUT ${PKX_TEXTS_CPP}
  COMMAND Python3::Interpreter ${PKX_TEXTS_GENERATOR} ${PKX_TEXTS_TABLE} --cpp ${PKX_TEXTS_CPP}
  DEPENDS ${PKX_TEXTS_TABLE} ${PKX_TEXTS_GENERATOR}
  COMMENT "Generating the built-in string table"
  VERBATIM)
if(NOT WIN32)
  target_sources(pkx_platform PRIVATE ${PKX_TEXTS_CPP})
endif()
