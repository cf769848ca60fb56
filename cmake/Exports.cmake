# What leaves a library, on each platform.

# dnm_export_names(MAP OUT): the names the linker version script MAP exports, in its order, into
# the list OUT; CMake configures again when MAP changes.
function(dnm_export_names map out)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${map})
  file(STRINGS ${map} lines REGEX "^[ \t]+[A-Za-z_][A-Za-z0-9_]*;")
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "[ \t;]" "" name "${line}")
    list(APPEND names ${name})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# dnm_exports_from_version_script(TARGET MAP DLL): on POSIX the linker's version script MAP
# names the library's exports and their version nodes, and hides everything else; on Windows
# the DLL exports the same names, through a .def file written from MAP when CMake configures.
function(dnm_exports_from_version_script target map dll)
  if(NOT WIN32)
    target_link_options(${target} PRIVATE -Wl,--version-script=${map})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
    return()
  endif()
  dnm_export_names(${map} names)
  set(def "; The exports of ${dll}, written from ${map}.\nLIBRARY ${dll}\nEXPORTS\n")
  foreach(name IN LISTS names)
    string(APPEND def "  ${name}\n")
  endforeach()
  get_filename_component(base ${dll} NAME_WE)
  file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${base}.def CONTENT "${def}")
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${base}.def)
endfunction()

# dnm_stdcall_exports(TARGET DEF): 32-bit Windows decorates a __stdcall function's name with
# the size of its arguments (_DNM_Online@16). The DLL exports the plain names of DEF (the linker
# binds each to its decorated function), and its import library maps the decorated names that
# an application's calls carry to those plain names. The linker's own import library would
# name the plain symbols, so it is written again from the DLL's symbols.
function(dnm_stdcall_exports target def)
  if(NOT WIN32 OR NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    return()
  endif()
  target_link_options(${target} PRIVATE -Wl,--enable-stdcall-fixup)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DDLL=$<TARGET_FILE:${target}> -DDEF=${def}
            -DIMPORT_LIBRARY=$<TARGET_LINKER_FILE:${target}> -DNM=${CMAKE_NM}
            -DDLLTOOL=${CMAKE_DLLTOOL} -P ${PROJECT_SOURCE_DIR}/cmake/StdcallImportLibrary.cmake
    VERBATIM)
endfunction()
