#include "platform/regular_file.h"

#include <fcntl.h>

#include <utility>

namespace dd::platform {

void setFileProblem(FileProblem* problem, FileRefusal kind, int error, std::string text) {
    if (problem != nullptr) {
        problem->kind = kind;
        problem->error = error;
        problem->text = std::move(text);
    }
}

bool readRegularFile(const std::string& path, size_t maxBytes, std::string& out,
                     FileProblem* problem) {
    out.clear();
    UniqueFd fd = openRegularFile(path, O_RDONLY, problem);
    if (!fd) {
        return false;
    }
    char buffer[8192];
    while (true) {
        long n = readFromFile(fd.get(), buffer, sizeof(buffer));
        if (n < 0) {
            int error = lastFileError();
            setFileProblem(problem, FileRefusal::Failed, error,
                           path + ": cannot read (" + fileErrorText(error) + ")");
            return false;
        }
        if (n == 0) {
            return true;
        }
        if (out.size() + static_cast<size_t>(n) > maxBytes) {
            setFileProblem(problem, FileRefusal::TooLarge, 0,
                           path + " is over " + std::to_string(maxBytes) + " bytes");
            return false;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
}

UniqueFd openRegularFileForReading(const std::string& path, FileProblem* problem) {
    return openRegularFile(path, O_RDONLY, problem);
}

bool readFilePrefix(const std::string& path, size_t maxBytes, std::string& out,
                    FileProblem* problem) {
    out.clear();
    UniqueFd fd = openRegularFile(path, O_RDONLY, problem);
    if (!fd) {
        return false;
    }
    out.resize(maxBytes);
    size_t got = 0;
    while (got < out.size()) {
        long n = readFromFile(fd.get(), out.data() + got, out.size() - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    out.resize(got);
    return true;
}

}  // namespace dd::platform
