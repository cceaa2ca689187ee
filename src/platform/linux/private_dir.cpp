#include "platform/private_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/paths.h"
#include "platform/regular_file.h"

namespace dd::platform {
namespace {

void setProblem(std::string* problem, std::string text) {
    if (problem != nullptr) {
        *problem = std::move(text);
    }
}

// Why a path that failed to open or to pass the checks cannot be used.
std::string explain(const std::string& path, const char* what, int error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            return path + " is a symbolic link";
        }
        if (st.st_uid != geteuid()) {
            return path + " belongs to uid " + std::to_string(st.st_uid);
        }
    }
    return path + ": " + what + " (" + std::strerror(error) + ")";
}

}  // namespace

std::string privateFallbackDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
    return joinPath(base, "devicedetect-" + std::to_string(geteuid()));
}

bool checkPrivateDir(const std::string& path, std::string* problem) {
    if (path.empty()) {
        setProblem(problem, "empty folder name");
        return false;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        setProblem(problem, explain(path, "cannot use the folder", errno));
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        setProblem(problem, path + " is a symbolic link");
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        setProblem(problem, path + " is not a folder");
        return false;
    }
    if (st.st_uid != geteuid()) {
        setProblem(problem, path + " belongs to uid " + std::to_string(st.st_uid));
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        // Not ours alone: whoever could enter it may have left links or
        // FIFOs there, or read what we would keep, and tightening the mode
        // now would not undo that.
        char mode[8];
        std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
        setProblem(problem, path + " is open to other users (mode " + mode + ")");
        return false;
    }
    return true;
}

UniqueFd openPrivateFile(const std::string& path, int flags, std::string* problem) {
    // Truncation waits for the owner check: another user's file is never cut.
    FileProblem why;
    UniqueFd fd = openRegularFile(path, O_WRONLY | O_CREAT | O_NOFOLLOW | (flags & ~O_TRUNC), &why);
    if (!fd) {
        setProblem(problem, why.kind == FileRefusal::Failed
                                ? explain(path, "cannot open", why.error)
                                : why.text);
        return {};
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || st.st_uid != geteuid()) {
        setProblem(problem, path + " belongs to uid " + std::to_string(st.st_uid));
        return {};
    }
    if ((flags & O_TRUNC) != 0 && ftruncate(fd.get(), 0) != 0) {
        setProblem(problem, explain(path, "cannot empty", errno));
        return {};
    }
    return fd;
}

}  // namespace dd::platform
