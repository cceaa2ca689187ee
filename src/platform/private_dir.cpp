#include "platform/private_dir.h"

#include "platform/paths.h"

namespace dd::platform {

bool ensurePrivateDir(const std::string& path, std::string* problem) {
    if (!path.empty()) {
        makeDirectories(path);
    }
    return checkPrivateDir(path, problem);
}

}  // namespace dd::platform
