# The simple upper-case mapping of every character of the Basic Multilingual
# Plane, from Debian's unicode-data, as a C++ table: Windows compares names by
# upper-casing each UTF-16 unit on its own, in every script.
set(VELDRA_UNICODE_DATA /usr/share/unicode/UnicodeData.txt CACHE FILEPATH
    "UnicodeData.txt of the unicode-data package")

function(veldra_generate_upcase_table output)
  if(NOT EXISTS "${VELDRA_UNICODE_DATA}")
    message(FATAL_ERROR "${VELDRA_UNICODE_DATA} is missing: run scripts/bootstrap")
  endif()
  # Fields: code;name;category;...;uppercase (the 13th); four hex digits keep
  # both sides in the plane.
  set(hex4 "[0-9A-F][0-9A-F][0-9A-F][0-9A-F]")
  string(REPEAT "[^;]*;" 11 between)
  file(STRINGS "${VELDRA_UNICODE_DATA}" lines REGEX "^${hex4};${between}${hex4};")
  set(body "")
  foreach(line IN LISTS lines)
    string(SUBSTRING "${line}" 0 4 code)
    string(REGEX REPLACE "^${hex4};${between}(${hex4});.*$" "\\1" upper "${line}")
    string(APPEND body "    {0x${code}, 0x${upper}},\n")
  endforeach()
  file(WRITE "${output}.new"
       "// Made by cmake/UpcaseTable.cmake from ${VELDRA_UNICODE_DATA}.\n${body}")
  # Unchanged bytes keep the file's time, so nothing is rebuilt for nothing.
  file(COPY_FILE "${output}.new" "${output}" ONLY_IF_DIFFERENT)
  file(REMOVE "${output}.new")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${VELDRA_UNICODE_DATA}")
endfunction()
