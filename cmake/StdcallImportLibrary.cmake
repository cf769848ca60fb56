# cmake -DDLL=... -DDEF=... -DIMPORT_LIBRARY=... -DNM=... -DDLLTOOL=... -P StdcallImportLibrary.cmake
# Writes the import library of a 32-bit DLL whose .def file DEF names its exports plainly:
# each export that is a __stdcall function (_NAME@N among the DLL's symbols) is listed as NAME@N
# and imported by its plain name (dlltool -k), the others (the C calling convention) as they are.
file(STRINGS ${DEF} lines)
list(FILTER lines INCLUDE REGEX "^[ \t]+[A-Za-z_]")
execute_process(COMMAND ${NM} ${DLL} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(dll_name ${DLL} NAME)
set(decorated "LIBRARY ${dll_name}\nEXPORTS\n")
foreach(line IN LISTS lines)
  string(STRIP "${line}" name)
  string(REGEX MATCH " T _${name}@[0-9]+\n" found "${symbols}")
  if(found)
    string(REGEX REPLACE " T _([^\n]+)\n" "\\1" name "${found}")
  endif()
  string(APPEND decorated "  ${name}\n")
endforeach()
get_filename_component(stem ${IMPORT_LIBRARY} NAME_WE)
get_filename_component(dir ${IMPORT_LIBRARY} DIRECTORY)
file(WRITE ${dir}/${stem}-stdcall.def "${decorated}")
execute_process(COMMAND ${DLLTOOL} -k -d ${dir}/${stem}-stdcall.def -l ${IMPORT_LIBRARY} -D ${dll_name}
  COMMAND_ERROR_IS_FATAL ANY)
