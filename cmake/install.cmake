# Installation and the Debian package.
#
#   <prefix>/lib/devicedetect/   the module folder: libDeviceDetect.so, its
#                                siblings, "device.xml" and the INI files
#   <prefix>/bin/                devicedetect-host, phonesim
#   <prefix>/include/devicedetect/  the public C headers
#   <prefix>/lib/pkgconfig/devicedetect.pc, <prefix>/lib/cmake/DeviceDetect/
#   <udevdir>/rules.d/           the rules that give the user at the seat the phones
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(DD_INSTALL_MODULEDIR ${CMAKE_INSTALL_LIBDIR}/devicedetect)

set(DD_MODULE_TARGETS DeviceDetect DeviceController OutputLog)
if(TARGET QXWIFIFinder)
  list(APPEND DD_MODULE_TARGETS QXWIFIFinder)
endif()
install(TARGETS ${DD_MODULE_TARGETS} LIBRARY DESTINATION ${DD_INSTALL_MODULEDIR})
file(GLOB DD_INSTALL_DATA ${PROJECT_SOURCE_DIR}/data/module/*)
install(FILES ${DD_INSTALL_DATA} DESTINATION ${DD_INSTALL_MODULEDIR})

install(TARGETS devicedetect-host phonesim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Both programs use the log sink of the module folder.
file(RELATIVE_PATH DD_BIN_TO_MODULES /${CMAKE_INSTALL_BINDIR} /${DD_INSTALL_MODULEDIR})
set_target_properties(phonesim devicedetect-host PROPERTIES
  INSTALL_RPATH "$ORIGIN/${DD_BIN_TO_MODULES}")
target_compile_definitions(devicedetect-host PRIVATE DD_HOST_MODULE_RELDIR="${DD_BIN_TO_MODULES}")

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/devicedetect
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

# Hosts that build against the header: pkg-config and a CMake package. Both
# name the module folder, which a host passes to dlopen (or links against).
configure_file(${PROJECT_SOURCE_DIR}/cmake/devicedetect.pc.in
               ${CMAKE_BINARY_DIR}/devicedetect.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/devicedetect.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/DeviceDetectConfig.cmake.in
  ${CMAKE_BINARY_DIR}/DeviceDetectConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/DeviceDetect
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR DD_INSTALL_MODULEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/DeviceDetectConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/DeviceDetectConfig.cmake
              ${CMAKE_BINARY_DIR}/DeviceDetectConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/DeviceDetect)

# The rules go where `pkg-config udev` says; that folder is taken relative to
# /usr so that a staged install (or the package) stays inside its prefix.
pkg_get_variable(DD_UDEVDIR udev udevdir)
if(NOT DD_UDEVDIR)
  set(DD_UDEVDIR /usr/lib/udev)
endif()
string(REGEX REPLACE "^/usr/" "" DD_UDEV_RELDIR "${DD_UDEVDIR}")
install(FILES ${PROJECT_SOURCE_DIR}/data/udev/70-orq-sync.rules DESTINATION ${DD_UDEV_RELDIR}/rules.d)

set(CPACK_PACKAGE_NAME devicedetect)
set(CPACK_PACKAGE_VENDOR "Orq Sync")
set(CPACK_PACKAGE_CONTACT "Orq Sync developers <devicedetect@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Phone detection module of the Orq Sync suite")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The libraries' own dependencies come from dpkg-shlibdeps; adb is run, not linked.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adb")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
include(CPack)
