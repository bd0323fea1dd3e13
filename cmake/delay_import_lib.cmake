# Makes a delay-load import library for one system DLL from the toolchain's own import library:
# every function that library names goes into a module-definition file, and dlltool turns that
# into an archive whose calls go through the delay-load helper. The linker takes only the members
# the program calls, so the list needs no upkeep when the tool calls a new function.
#   cmake -DNM=... -DDLLTOOL=... -DIMPORT_LIBRARY=... -DDLL=crypt32 -DOUTPUT=... -DPOINTER_SIZE=4
#         -P this file
foreach(variable NM DLLTOOL IMPORT_LIBRARY DLL OUTPUT POINTER_SIZE)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "delay_import_lib.cmake: ${variable} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} -g --defined-only ${IMPORT_LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} could not read ${IMPORT_LIBRARY}")
endif()
# An import thunk's pointer is __imp_ and the name as the compiler spells it: on i686 with a
# leading underscore and, for stdcall, the argument bytes (__imp__CertOpenStore@20), on x86_64
# plain (__imp_CertOpenStore).
string(REGEX MATCHALL "__imp_[^\r\n]+" pointers "${symbols}")
if(NOT pointers)
  message(FATAL_ERROR "${IMPORT_LIBRARY} names no function")
endif()
set(definitions "LIBRARY ${DLL}.dll\nEXPORTS\n")
foreach(pointer IN LISTS pointers)
  string(REGEX REPLACE "^__imp_" "" name "${pointer}")
  if(POINTER_SIZE EQUAL 4)
    string(REGEX REPLACE "^_" "" name "${name}")
  endif()
  string(APPEND definitions "${name}\n")
endforeach()
file(WRITE ${OUTPUT}.def "${definitions}")

# --kill-at: the DLL exports the stdcall names without their argument bytes.
execute_process(COMMAND ${DLLTOOL} --input-def ${OUTPUT}.def --dllname ${DLL}.dll --kill-at
                        --output-delaylib ${OUTPUT} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${DLLTOOL} could not make ${OUTPUT}")
endif()
