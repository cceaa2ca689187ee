#include "platform/private_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/paths.h"

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

bool ensurePrivateDir(const std::string& path, std::string* problem) {
    if (path.empty()) {
        setProblem(problem, "empty folder name");
        return false;
    }
    makeDirectories(path);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        setProblem(problem, explain(path, "cannot create the folder", errno));
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
    if ((st.st_mode & 077) != 0 && chmod(path.c_str(), 0700) != 0) {
        setProblem(problem, explain(path, "cannot make the folder private", errno));
        return false;
    }
    return true;
}

UniqueFd openPrivateFile(const std::string& path, int flags, std::string* problem) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags, 0600));
    if (!fd) {
        setProblem(problem, explain(path, "cannot open", errno));
        return {};
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        setProblem(problem, path + " is not a regular file");
        return {};
    }
    if (st.st_uid != geteuid()) {
        setProblem(problem, path + " belongs to uid " + std::to_string(st.st_uid));
        return {};
    }
    return fd;
}

}  // namespace dd::platform
