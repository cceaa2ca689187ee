#include "platform/paths.h"

namespace dd::platform {

bool readFileBounded(const std::string& path, size_t maxBytes, std::string& out,
                     FileProblem* problem) {
    return readRegularFile(path, maxBytes, out, problem);
}

}  // namespace dd::platform
