# varrow_exports(<target> <def file>): the module-definition file of a library
# that both architectures build. The .def files name the 32-bit __stdcall
# symbols (PassThruOpen@8, or PDUConstruct = PDUConstruct@8); x86-64 has one
# calling convention and no such decoration, so the 64-bit tree exports from a
# copy with the decoration taken off and the LIBRARY line naming the 64-bit file.
function(varrow_exports target def)
  if(VARROW_BITS EQUAL 32)
    target_sources(${target} PRIVATE ${def})
    return()
  endif()
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  file(READ ${def} text)
  # "Name@8" -> "Name" (an ordinal "Name @8" keeps its space and is left alone).
  string(REGEX REPLACE "([A-Za-z_][A-Za-z0-9_]*)@[0-9]+" "\\1" text "${text}")
  # "Name = Name" after that is plain "Name".
  string(REGEX REPLACE "([A-Za-z_][A-Za-z0-9_]*) *= *\\1([\r\n])" "\\1\\2" text "${text}")
  string(REGEX REPLACE "LIBRARY[ \t]+[^\r\n]*" "LIBRARY ${name}" text "${text}")
  get_filename_component(base ${def} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${base}.x86_64.def)
  file(CONFIGURE OUTPUT ${out} CONTENT "${text}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
  target_sources(${target} PRIVATE ${out})
endfunction()
