# What the Windows build takes in place of the Linux libraries. The module
# uses the system's own facilities there (Winsock, WinHTTP, BCrypt, MSXML6,
# SetupAPI); only the header-only JSON library comes from outside.

# The shipped files need nothing but Windows' own DLLs: the C++ runtime,
# libgcc and winpthreads are linked in.
add_link_options(-static)
# Names as the suite expects them: DeviceDetect.dll, not libDeviceDetect.dll.
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_SHARED_MODULE_PREFIX "")
set(CMAKE_IMPORT_LIBRARY_PREFIX "")
# <windows.h> would otherwise turn min and max into macros.
add_compile_definitions(NOMINMAX)

# nlohmann-json is reached through a folder holding only a link to it, so the
# cross compiler never sees the rest of the build machine's headers.
find_path(DD_NLOHMANN_JSON_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
  NO_DEFAULT_PATH REQUIRED)
set(DD_JSON_INCLUDE_DIR ${CMAKE_BINARY_DIR}/json-include)
file(MAKE_DIRECTORY ${DD_JSON_INCLUDE_DIR})
file(CREATE_LINK ${DD_NLOHMANN_JSON_DIR}/nlohmann ${DD_JSON_INCLUDE_DIR}/nlohmann SYMBOLIC)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${DD_JSON_INCLUDE_DIR}
  INTERFACE_INCLUDE_DIRECTORIES ${DD_JSON_INCLUDE_DIR})
