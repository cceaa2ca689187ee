#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace dd::platform {
namespace {

const char* typeName(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISLNK(mode)) {
        return "a symbolic link";
    }
    return "not a plain file";
}

bool refuseType(const std::string& path, mode_t mode, FileProblem* problem) {
    if (S_ISLNK(mode)) {
        setFileProblem(problem, FileRefusal::Link, 0, path + " is a symbolic link; not opened");
        return true;
    }
    if (!S_ISREG(mode)) {
        setFileProblem(problem, FileRefusal::NotRegular, 0,
                       path + " is " + typeName(mode) + ", not a regular file; not opened");
        return true;
    }
    return false;
}

void setOpenError(const std::string& path, int error, bool noFollow, FileProblem* problem) {
    if (error == ENOENT) {
        setFileProblem(problem, FileRefusal::Missing, error, path + " does not exist");
    } else if (error == ELOOP && noFollow) {
        setFileProblem(problem, FileRefusal::Link, error, path + " is a symbolic link; not opened");
    } else if (error == ENXIO || error == ENODEV) {
        // What a FIFO without a reader or a node without a driver answers.
        setFileProblem(problem, FileRefusal::NotRegular, error,
                       path + " is not a regular file; not opened");
    } else {
        setFileProblem(problem, FileRefusal::Failed, error,
                       path + ": cannot open (" + std::strerror(error) + ")");
    }
}

std::string randomSuffix() {
    static constexpr char kChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<unsigned> counter{0};
    unsigned char bytes[6] = {};
    if (getrandom(bytes, sizeof(bytes), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(bytes))) {
        // No entropy yet: uniqueness is all a temporary name needs, and
        // O_EXCL catches a clash.
        unsigned long mix = static_cast<unsigned long>(getpid()) * 2654435761u ^
                            static_cast<unsigned long>(std::time(nullptr)) ^ counter++;
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>(mix);
            mix = mix * 6364136223846793005ull + 1442695040888963407ull;
        }
    }
    std::string out;
    for (unsigned char b : bytes) {
        out += kChars[b % (sizeof(kChars) - 1)];
    }
    return out;
}

}  // namespace

UniqueFd openRegularFile(const std::string& path, int flags, FileProblem* problem) {
    const bool noFollow = (flags & O_NOFOLLOW) != 0;
    const bool truncate = (flags & O_TRUNC) != 0;
    // Look first, so that a device node is never opened at all (opening one
    // can act on the device); the fstat below closes the gap in between.
    struct stat seen {};
    int looked = noFollow ? lstat(path.c_str(), &seen) : stat(path.c_str(), &seen);
    if (looked == 0 && refuseType(path, seen.st_mode, problem)) {
        return {};
    }
    if (looked != 0 && errno != ENOENT) {
        setOpenError(path, errno, noFollow, problem);
        return {};
    }
    int openFlags = (flags & ~O_TRUNC) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd fd(open(path.c_str(), openFlags, 0600));
    if (!fd) {
        setOpenError(path, errno, noFollow, problem);
        return {};
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
        setOpenError(path, errno, noFollow, problem);
        return {};
    }
    if (refuseType(path, st.st_mode, problem)) {
        return {};
    }
    int status = fcntl(fd.get(), F_GETFL);
    if (status == -1 || fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0 ||
        (truncate && ftruncate(fd.get(), 0) != 0)) {
        setFileProblem(problem, FileRefusal::Failed, errno,
                       path + ": cannot prepare the file (" + std::strerror(errno) + ")");
        return {};
    }
    setFileProblem(problem, FileRefusal::None, 0, {});
    return fd;
}

long readFromFile(int fd, void* buffer, size_t size) {
    // A read cut short by a signal before it moved a byte is simply retried.
    ssize_t n = 0;
    do {
        n = read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

int lastFileError() {
    return errno;
}

std::string fileErrorText(int error) {
    return std::strerror(error);
}

long writeToFile(int fd, const void* data, size_t size) {
    return static_cast<long>(write(fd, data, size));
}

bool openFileSize(int fd, uint64_t& size) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return false;
    }
    size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool closeFile(UniqueFd& fd) {
    return !fd.valid() || close(fd.release()) == 0;
}

bool renameFile(const std::string& from, const std::string& to) {
    return rename(from.c_str(), to.c_str()) == 0;
}

void removeFile(const std::string& path) {
    unlink(path.c_str());
}

bool pathExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

UniqueFd createFileBeside(const std::string& path, const std::string& tag, std::string& tempPath,
                          FileProblem* problem) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = path + tag + randomSuffix();
        FileProblem why;
        UniqueFd fd = openRegularFile(tempPath, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, &why);
        if (fd) {
            return fd;
        }
        if (why.error != EEXIST && why.kind != FileRefusal::Link &&
            why.kind != FileRefusal::NotRegular) {
            if (problem != nullptr) {
                *problem = why;
            }
            return {};
        }
    }
    setFileProblem(problem, FileRefusal::Failed, EEXIST,
                   path + ": no free temporary name beside it");
    return {};
}

bool replaceableByRename(const std::string& path, FileProblem* problem) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        setOpenError(path, errno, true, problem);
        return false;
    }
    // rename() replaces a link itself and never writes through it.
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        setFileProblem(problem, FileRefusal::NotRegular, 0,
                       path + " is " + typeName(st.st_mode) + ", not a regular file; not replaced");
        return false;
    }
    return true;
}

}  // namespace dd::platform
