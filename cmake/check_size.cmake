# cmake -DFILE=<path> -DLIMIT=<bytes> -P check_size.cmake
# Fails when FILE is larger than LIMIT bytes.
file(SIZE "${FILE}" size)
get_filename_component(name "${FILE}" NAME)
if(size GREATER LIMIT)
  message(FATAL_ERROR "${name}: ${size} bytes, more than the limit of ${LIMIT} bytes")
endif()
message(STATUS "${name}: ${size} bytes (limit ${LIMIT})")
