# The Windows build's tests: the test files listed in tests/<area>/PORTABLE
# (one file name a line), built into one program per area with googletest
# compiled from Debian's sources. They need no simulator and no POSIX
# headers; ctest runs each program through the cross-compiling emulator
# (Wine), so one program is one test.
set(DD_GTEST_SOURCE_DIR /usr/src/googletest/googletest CACHE PATH "googletest sources")
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${DD_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Third-party code: its warnings are not ours to fail on.
foreach(gtest_target gtest gtest_main)
  target_compile_options(${gtest_target} PRIVATE -w)
endforeach()

add_library(dd_test_support STATIC support/test_env.cpp)
target_include_directories(dd_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support ${CMAKE_CURRENT_SOURCE_DIR}
  ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(dd_test_support PUBLIC
  DD_TEST_MODULE_DIR="${DD_MODULE_DIR}" DD_TEST_BIN_DIR="${DD_BIN_DIR}"
  DD_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/data/module")
target_link_libraries(dd_test_support PUBLIC gtest Threads::Threads nlohmann_json::nlohmann_json)

file(GLOB TEST_AREAS LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
foreach(area_dir ${TEST_AREAS})
  get_filename_component(area ${area_dir} NAME)
  if(NOT EXISTS ${area_dir}/PORTABLE)
    continue()
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${area_dir}/PORTABLE)
  file(STRINGS ${area_dir}/PORTABLE names REGEX "^[^#]")
  list(TRANSFORM names PREPEND ${area_dir}/)
  set(target ${area}_tests)
  add_executable(${target} ${names})
  target_link_libraries(${target} PRIVATE dd_test_support dd_static QXWIFIFinderDatagram gtest_main)
  add_dependencies(${target} DeviceDetect DeviceController OutputLog QXWIFIFinder)
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES LABELS ${area} TIMEOUT 300)
endforeach()
