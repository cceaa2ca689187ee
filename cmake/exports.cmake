# dd_export_only(target folder): the library exports its entry points and
# nothing else. On Linux the version script folder/exports.map hides the rest
# of the dynamic symbol table; on Windows the module definition file
# folder/<target>.def lists the undecorated names (the 32-bit __stdcall
# functions without their @N), and the library lands in the module folder
# beside the data files.
function(dd_export_only target folder)
  if(WIN32)
    set(def ${folder}/${target}.def)
    target_sources(${target} PRIVATE ${def})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${def})
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${DD_MODULE_DIR})
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      # The .def names a __stdcall function without its @N on purpose.
      target_link_options(${target} PRIVATE -Wl,--enable-stdcall-fixup)
    endif()
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
    return()
  endif()
  target_link_options(${target} PRIVATE -Wl,--version-script=${folder}/exports.map)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${folder}/exports.map)
  # The fuzz flavour's sanitizer runtime lives in the executable that loads
  # the library, so only there may the library keep undefined references.
  if(NOT DD_BUILD_FUZZ)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
