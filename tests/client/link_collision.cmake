# Writes a C program that defines, as functions of its own, every global name
# that the connection library's objects define without exporting it (the
# internal helpers: write_all, wait_for_descriptor, ...). The program links
# liborvaconn.a and runs: a name that the static library lets through would
# fail the link with a multiple definition.
#
#   cmake -DNM=nm -DOBJECTS=a.o;b.o -DEXPORTS=orvaconn.exports -DOUTPUT=x.c -P link_collision.cmake
cmake_policy(SET CMP0057 NEW) # if(... IN_LIST ...)
execute_process(COMMAND ${NM} -g --defined-only ${OBJECTS}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on the library's objects")
endif()
file(STRINGS ${EXPORTS} exports)
string(REPLACE "\n" ";" lines "${symbols}")
set(names "")
foreach(line IN LISTS lines)
  # Names that begin with an underscore belong to the compiler and its
  # runtimes (sanitizers included), not to the library.
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([A-Za-z][A-Za-z0-9_]*)$")
    if(NOT CMAKE_MATCH_1 IN_LIST exports)
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endif()
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
if(NOT "write_all" IN_LIST names OR NOT "wait_for_descriptor" IN_LIST names)
  message(FATAL_ERROR "the internal helpers were not found among the objects' names")
endif()

set(program "/* Made by tests/client/link_collision.cmake; do not edit. */\n")
string(APPEND program "#include <stdio.h>\n\n#include \"client/connection.h\"\n\n")
set(index 0)
foreach(name IN LISTS names)
  string(APPEND program "int own_${index}(void) __asm__(\"${name}\");\n")
  string(APPEND program "int own_${index}(void) { return ${index}; }\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND program "
int main(void) {
    ServerConnection *conn = conn_create(64, 1, 1, 0);
    if (conn == NULL || conn_free(conn) != RC_OK) return 1;
    printf(\"%d internal names of the library defined by this program as well\\n\", ${index});
    return 0;
}
")
file(WRITE ${OUTPUT}.new "${program}")
# Rewritten only when it changes, so that the program is not rebuilt in vain.
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
