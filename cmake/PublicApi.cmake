# The connection library's public interface: the headers that are installed,
# and the names of the functions they declare, which are the only names that
# the static and the shared library make visible to a linking program.
#
# Sets ORVACONN_PUBLIC_HEADERS_CLIENT, ORVACONN_PUBLIC_HEADERS_DIGEST,
# ORVACONN_EXPORT_LIST (a file with one name per line, for objcopy) and
# ORVACONN_VERSION_SCRIPT (the linker version script of the shared library).
#
# client/internal.h and digest/md5_text.h hold what only the library (and the
# project's own programs) use: they are neither installed nor exported.
set(ORVACONN_PUBLIC_HEADERS_CLIENT
  client/result_codes.h
  client/connection.h
  client/connect.h
  client/commands.h
  client/scan.h
  client/transfer.h
  client/server_list.h)
set(ORVACONN_PUBLIC_HEADERS_DIGEST
  digest/md5.h)

if(NOT PROJECT_VERSION_MAJOR)
  set(PROJECT_VERSION_MAJOR 1)
endif()

set(_orva_exports "")
foreach(_header IN LISTS ORVACONN_PUBLIC_HEADERS_CLIENT ORVACONN_PUBLIC_HEADERS_DIGEST)
  # A declaration starts at the beginning of a line with its return type;
  # the first lower-case name followed by "(" is the function's.
  file(STRINGS ${PROJECT_SOURCE_DIR}/${_header} _lines
    REGEX "^[A-Za-z_][A-Za-z0-9_ ]*[ *][a-z_][a-z0-9_]*\\(")
  foreach(_line IN LISTS _lines)
    if(_line MATCHES "^(typedef|struct|return|if|while|for) ")
      continue()
    endif()
    string(REGEX MATCH "[a-z_][a-z0-9_]*\\(" _name "${_line}")
    string(REPLACE "(" "" _name "${_name}")
    list(APPEND _orva_exports "${_name}")
  endforeach()
endforeach()
list(REMOVE_DUPLICATES _orva_exports)
list(SORT _orva_exports)
# Rewritten only when it changes, so that an unchanged header list does not
# relink the libraries.
set(ORVACONN_PUBLIC_HEADER_DEPENDS "")
foreach(_header IN LISTS ORVACONN_PUBLIC_HEADERS_CLIENT ORVACONN_PUBLIC_HEADERS_DIGEST)
  list(APPEND ORVACONN_PUBLIC_HEADER_DEPENDS ${PROJECT_SOURCE_DIR}/${_header})
endforeach()
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${ORVACONN_PUBLIC_HEADER_DEPENDS})

list(JOIN _orva_exports "\n" _orva_export_names)
set(ORVACONN_EXPORT_LIST ${PROJECT_BINARY_DIR}/orvaconn.exports)
file(CONFIGURE OUTPUT ${ORVACONN_EXPORT_LIST} CONTENT "@_orva_export_names@\n" @ONLY)

list(JOIN _orva_exports ";\n    " _orva_export_lines)
set(ORVACONN_VERSION_SCRIPT ${PROJECT_BINARY_DIR}/orvaconn.map)
file(CONFIGURE OUTPUT ${ORVACONN_VERSION_SCRIPT} CONTENT
"ORVACONN_@PROJECT_VERSION_MAJOR@ {
  global:
    @_orva_export_lines@;
  local:
    *;
};
" @ONLY)

# The static library as a linking program gets it: every object linked into
# one relocatable object (section groups resolved, so that no copy of an
# inline function is shared with the program), in which every global name
# but the public ones is then made local. A program may thus define any
# other name, write_all included, and still link liborvaconn.a.
#   orva_sealed_object(OUTPUT OBJECT_LIBRARY)
function(orva_sealed_object output object_library)
  separate_arguments(_flags UNIX_COMMAND "${CMAKE_CXX_FLAGS}")
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_CXX_COMPILER} ${_flags} -nostdlib -r -Wl,--force-group-allocation
      -o ${output}.all $<TARGET_OBJECTS:${object_library}>
    COMMAND ${CMAKE_OBJCOPY} --keep-global-symbols=${ORVACONN_EXPORT_LIST} ${output}.all ${output}
    COMMAND ${CMAKE_COMMAND} -E remove ${output}.all
    DEPENDS ${object_library} $<TARGET_OBJECTS:${object_library}> ${ORVACONN_EXPORT_LIST}
    COMMAND_EXPAND_LISTS VERBATIM
    COMMENT "Sealing the connection library: only its public names stay global")
endfunction()
