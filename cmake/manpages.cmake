# Manual pages: written in scdoc (man/*.scd), turned into roff and gzipped
# at build time, installed with the component of their program.
find_program(DD_SCDOC scdoc)
if(NOT DD_SCDOC)
  message(FATAL_ERROR "scdoc builds the manual pages: run scripts/install-deps (Debian package scdoc)")
endif()
find_program(DD_GZIP gzip REQUIRED)

set(DD_MAN_PAGES devicedetect-host.1:runtime phonesim.1:tools)
set(DD_MAN_OUTPUTS)
foreach(entry ${DD_MAN_PAGES})
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 page)
  list(GET entry 1 component)
  set(source ${PROJECT_SOURCE_DIR}/man/${page}.scd)
  set(roff ${CMAKE_BINARY_DIR}/man/${page})
  set(output ${roff}.gz)
  # -n keeps the gzip header free of a time stamp, so the page builds alike.
  add_custom_command(OUTPUT ${roff} ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${DD_SCDOC} ${source} ${roff}
    COMMAND sh -c "\"$0\" -9n < \"$1\" > \"$2\"" ${DD_GZIP} ${roff} ${output}
    DEPENDS ${source}
    COMMENT "Manual page ${page}"
    VERBATIM)
  list(APPEND DD_MAN_OUTPUTS ${output})
  string(REGEX MATCH "[0-9]$" section "${page}")
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()
add_custom_target(manpages ALL DEPENDS ${DD_MAN_OUTPUTS})
