# The Debian packages, one per install component (cpack -G DEB, or
# scripts/package). Each carries its copyright file and changelog in
# share/doc/<package>/; the runtime package reloads udev for the phone rules
# when it is installed or removed.
set(DD_DEB_RELEASE 1)
set(DD_DEB_MAINTAINER "DeviceDetect developers <devicedetect@orqsync.example>")
set(DD_DEB_DIR ${CMAKE_BINARY_DIR}/debian)

# The copyright file in the machine-readable format, with the licence text
# of LICENSE (Debian calls the MIT licence "Expat").
file(READ ${PROJECT_SOURCE_DIR}/LICENSE DD_LICENSE_TEXT)
string(REGEX REPLACE "^MIT License\n\n(Copyright \\(c\\) )?([^\n]*)\n\n" "" DD_LICENSE_BODY "${DD_LICENSE_TEXT}")
set(DD_COPYRIGHT_HOLDER "${CMAKE_MATCH_2}")
string(STRIP "${DD_LICENSE_BODY}" DD_LICENSE_BODY)
string(REGEX REPLACE "\n\n" "\n.\n" DD_LICENSE_BODY "${DD_LICENSE_BODY}")
string(REGEX REPLACE "\n" "\n " DD_LICENSE_BODY " ${DD_LICENSE_BODY}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/deb/copyright.in ${DD_DEB_DIR}/copyright @ONLY)

configure_file(${PROJECT_SOURCE_DIR}/packaging/deb/changelog.in ${DD_DEB_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${DD_DEB_DIR}/changelog.Debian.gz
  COMMAND sh -c "\"$0\" -9n < \"$1\" > \"$2\"" ${DD_GZIP} ${DD_DEB_DIR}/changelog
          ${DD_DEB_DIR}/changelog.Debian.gz
  DEPENDS ${DD_DEB_DIR}/changelog ${PROJECT_SOURCE_DIR}/packaging/deb/changelog.in
  VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${DD_DEB_DIR}/changelog.Debian.gz)

# Maintainer scripts: one template, run after install and after removal.
foreach(script postinst postrm)
  if(script STREQUAL "postinst")
    set(DD_MAINTSCRIPT_ACTIONS "configure")
  else()
    set(DD_MAINTSCRIPT_ACTIONS "remove")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/packaging/deb/udev-maintscript.in
                 ${DD_DEB_DIR}/runtime/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_PACKAGE_NAME devicedetect)
set(CPACK_PACKAGE_VENDOR "Orq Sync")
set(CPACK_PACKAGE_CONTACT "${DD_DEB_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${DD_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE devicedetect)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps finds the module folder's libraries in the build tree; they
# belong to no installed package, so they add no dependency of their own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${DD_MODULE_DIR})
set(DD_DEB_VERSION "${PROJECT_VERSION}-${DD_DEB_RELEASE}")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME devicedetect)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# adb is run, not linked; udev applies the rules (a container may do without).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "adb")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${DD_DEB_DIR}/runtime/postinst ${DD_DEB_DIR}/runtime/postrm)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "phone detection module of the Orq Sync suite
DeviceDetect finds the phones that the Orq Sync desktop suite synchronises:
Android phones on USB (through adb and a companion service on the phone),
Android phones on the local network, and older BREW phones on a USB serial
port. The suite loads the module (libDeviceDetect.so, with its sibling
libraries and data files in one folder) and is told when a phone is found,
ready and gone, and when a phone asks to synchronise.

This package holds the module folder, devicedetect-host (a program that
loads the module the way the suite does, shows every notification and checks
what the machine lacks with --check), and udev rules that give the phones to
the user at the seat and to the group plugdev.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME devicedetect-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "devicedetect (= ${DD_DEB_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "phone detection module of the Orq Sync suite (development files)
DeviceDetect finds the phones that the Orq Sync desktop suite synchronises:
Android phones on USB and on the local network, and BREW phones on a USB
serial port.

This package holds the C headers of the module's interface and of the Wi-Fi
finder's, with a pkg-config file (devicedetect) and a CMake package
(find_package(DeviceDetect)) for programs that load or link the module.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME devicedetect-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "phone simulator for the DeviceDetect module
phonesim plays phones for trying DeviceDetect without any: a fake USB device
tree, an emulated adb server that the real adb client accepts, a phone's
companion service and sync tool, Wi-Fi phones announcing themselves, and
BREW phones on pseudo-terminals. devicedetect-host and phonesim together show
the module at work on a machine with no phone attached.")

foreach(component runtime dev tools)
  string(TOUPPER ${component} upper)
  install(FILES ${DD_DEB_DIR}/copyright ${DD_DEB_DIR}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
          COMPONENT ${component})
endforeach()

include(CPack)
