# Checks that a DLL exports exactly the C functions that wirekit.h declares,
# no more and no fewer, under their plain names, by reading its export table
# with objdump -p. On 32-bit Windows a name decorated for a calling
# convention (_name for __cdecl at the symbol level, name@N for __stdcall)
# must not reach the table: hosts look the functions up by the header's names.
# Run it as:
#   cmake -DOBJDUMP=<objdump> -DLIBRARY=<dll> -DHEADER=<wirekit.h> -P dll_exports.cmake
# The test programs of a cross build run under an emulator, which cannot start
# host tools, so ctest runs this on the build host.
foreach(var OBJDUMP LIBRARY HEADER)
  if(NOT ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

file(STRINGS "${HEADER}" declarations REGEX "^WIREKIT_API")
set(declared "")
foreach(line IN LISTS declarations)
  if(line MATCHES "^WIREKIT_API[^(]*[^A-Za-z0-9_(]([A-Za-z_][A-Za-z0-9_]*)[ \t]*\\(")
    list(APPEND declared "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(LENGTH declared count)
if(count EQUAL 0)
  message(FATAL_ERROR "no function declarations found in ${HEADER}")
endif()

execute_process(COMMAND "${OBJDUMP}" -p "${LIBRARY}" OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${LIBRARY} failed (${result})")
endif()
# The names follow "[Ordinal/Name Pointer] Table", one "[   n] name" a line.
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" start)
set(exported "")
if(start GREATER -1)
  string(SUBSTRING "${dump}" ${start} -1 table)
  string(REPLACE "\n" ";" lines "${table}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*\\[[ \t]*[0-9]+\\][ \t]+([^ \t]+)[ \t]*$")
      list(APPEND exported "${CMAKE_MATCH_1}")
    elseif(exported AND line STREQUAL "")
      break()
    endif()
  endforeach()
endif()

set(decorated "")
foreach(name IN LISTS exported)
  if(name MATCHES "^_" OR name MATCHES "@[0-9]+$" OR name MATCHES "^[?]")
    list(APPEND decorated "${name}")
  endif()
endforeach()
if(decorated)
  message(FATAL_ERROR "${LIBRARY}: decorated export names (a leading _ or ?, or an @N "
                      "suffix): ${decorated}")
endif()

set(missing ${declared})
list(REMOVE_ITEM missing ${exported})
set(extra ${exported})
list(REMOVE_ITEM extra ${declared})
list(LENGTH exported exportedCount)
if(missing OR extra)
  message(FATAL_ERROR "${LIBRARY}: ${count} functions declared, ${exportedCount} exported\n"
                      "declared but not exported: ${missing}\n"
                      "exported but not declared: ${extra}")
endif()
message(STATUS "${LIBRARY} exports exactly the ${count} functions of ${HEADER}")
