// Taking a file system off its mount point.
#pragma once

#include <string>

namespace dd::platform {

// Unmounts what is mounted at mountPoint, never following a symbolic link
// there. False with the system's reason in problem.
bool unmountNoFollow(const std::string& mountPoint, std::string* problem);

}  // namespace dd::platform
