# Installation and the Debian packages. Everything goes under the install
# prefix, whatever the machine's own udev or bash-completion say, so that a
# staged install (cmake --install --prefix DIR, DESTDIR, a package) stays
# inside its stage. With the prefix /usr, GNUInstallDirs picks the multiarch
# library folder: configure a package build with its final prefix.
#
#   <libdir>/devicedetect/          the module folder: libDeviceDetect.so, its
#                                   siblings, "device.xml" and the INI files
#   bin/                            devicedetect-host, phonesim
#   include/devicedetect/           the public C headers
#   <libdir>/pkgconfig/devicedetect.pc, <libdir>/cmake/DeviceDetect/
#   lib/udev/rules.d/               the rules that give the phones to the user
#   share/man/man1/, share/bash-completion/completions/, share/doc/<package>/
#
# Three components, one Debian package each: "runtime" (devicedetect: the
# module folder, the host, the rules), "dev" (devicedetect-dev: headers,
# pkg-config and CMake files) and "tools" (devicedetect-tools: phonesim).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(DD_INSTALL_MODULEDIR ${CMAKE_INSTALL_LIBDIR}/devicedetect)
# udev reads lib/udev/rules.d under /usr and /usr/local alike. The folder is
# kept relative: an absolute one would escape a staged install.
set(DD_INSTALL_UDEVRULESDIR lib/udev/rules.d CACHE STRING
    "udev rules folder, relative to the install prefix")
if(IS_ABSOLUTE "${DD_INSTALL_UDEVRULESDIR}")
  message(FATAL_ERROR "DD_INSTALL_UDEVRULESDIR must be relative to the install prefix "
                      "(it is ${DD_INSTALL_UDEVRULESDIR})")
endif()
set(DD_INSTALL_COMPLETIONSDIR ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)

set(DD_MODULE_TARGETS DeviceDetect DeviceController OutputLog)
if(TARGET QXWIFIFinder)
  list(APPEND DD_MODULE_TARGETS QXWIFIFinder)
endif()
install(TARGETS ${DD_MODULE_TARGETS} LIBRARY DESTINATION ${DD_INSTALL_MODULEDIR} COMPONENT runtime)
file(GLOB DD_INSTALL_DATA ${PROJECT_SOURCE_DIR}/data/module/*)
install(FILES ${DD_INSTALL_DATA} DESTINATION ${DD_INSTALL_MODULEDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/data/udev/70-orq-sync.rules
        DESTINATION ${DD_INSTALL_UDEVRULESDIR} COMPONENT runtime)

install(TARGETS devicedetect-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(TARGETS phonesim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
# The host links the log sink of the module folder, and finds the module there.
file(RELATIVE_PATH DD_BIN_TO_MODULES /${CMAKE_INSTALL_BINDIR} /${DD_INSTALL_MODULEDIR})
set_target_properties(devicedetect-host PROPERTIES INSTALL_RPATH "$ORIGIN/${DD_BIN_TO_MODULES}")
target_compile_definitions(devicedetect-host PRIVATE DD_HOST_MODULE_RELDIR="${DD_BIN_TO_MODULES}")

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/devicedetect
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev FILES_MATCHING PATTERN "*.h")

# Hosts that build against the header: pkg-config and a CMake package. Both
# name the module folder, which a host passes to dlopen (or links against).
# The .pc file names absolute folders, as a distribution's do; the prefix is
# the one of the install itself, filled in when it runs.
set(DD_PC_PREFIX "@DD_PC_PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/devicedetect.pc.in
               ${CMAKE_BINARY_DIR}/devicedetect.pc.in @ONLY)
install(CODE "
  set(DD_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_BINARY_DIR}/devicedetect.pc.in\"
                 \"${CMAKE_BINARY_DIR}/install-pc/devicedetect.pc\" @ONLY)
  file(INSTALL \"${CMAKE_BINARY_DIR}/install-pc/devicedetect.pc\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
" COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/DeviceDetectConfig.cmake.in
  ${CMAKE_BINARY_DIR}/DeviceDetectConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/DeviceDetect
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR DD_INSTALL_MODULEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/DeviceDetectConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/DeviceDetectConfig.cmake
              ${CMAKE_BINARY_DIR}/DeviceDetectConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/DeviceDetect COMPONENT dev)

include(${CMAKE_CURRENT_LIST_DIR}/manpages.cmake)
install(FILES ${PROJECT_SOURCE_DIR}/data/completion/devicedetect-host
        DESTINATION ${DD_INSTALL_COMPLETIONSDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/data/completion/phonesim
        DESTINATION ${DD_INSTALL_COMPLETIONSDIR} COMPONENT tools)

include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
