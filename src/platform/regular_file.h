// Opening the files the module keeps or reads (the lock, the log, INI files,
// XML files, downloads) so that nothing planted at their path can hold it up.
//
// A plain open() of a FIFO waits for the other end for ever, and opening a
// device node can wait on, or act on, hardware. Every such file is therefore
// checked before it is opened, opened non-blocking, and checked again with
// fstat: only a regular file is ever handed out.
#pragma once

#include <cstddef>
#include <string>

#include "platform/unique_fd.h"

namespace dd::platform {

// Why a file was not opened (or read).
enum class FileRefusal {
    None,        // opened
    Missing,     // nothing at the path
    Link,        // a symbolic link where none may be followed (O_NOFOLLOW)
    NotRegular,  // a FIFO, socket, device node or folder
    TooLarge,    // a read that would have gone past its limit
    Failed,      // any other error (permissions, I/O): errno tells
};

struct FileProblem {
    FileRefusal kind = FileRefusal::None;
    int error = 0;     // errno of the failing call; 0 for a refusal of ours
    std::string text;  // plain reason with the path, ready for a log line
};

// Opens path as a regular file. flags: O_RDONLY, O_WRONLY or O_RDWR with any
// of O_CREAT (mode 0600), O_EXCL, O_APPEND, O_TRUNC and O_NOFOLLOW; O_NONBLOCK,
// O_NOCTTY and O_CLOEXEC are always added, and O_NONBLOCK is taken off again
// once the file is known to be regular. O_TRUNC is applied only after the
// checks, so nothing but a regular file is ever truncated. Never blocks on
// what it finds. Empty, with the reason in problem, when the path holds
// anything other than a regular file or cannot be opened.
UniqueFd openRegularFile(const std::string& path, int flags, FileProblem* problem = nullptr);

// Reads a whole regular file of at most maxBytes (links followed).
bool readRegularFile(const std::string& path, size_t maxBytes, std::string& out,
                     FileProblem* problem = nullptr);

// Creates a new private file (0600, O_EXCL) named path + tag + six random
// characters, in path's folder: the first half of a replace-by-rename.
// tempPath receives its name.
UniqueFd createFileBeside(const std::string& path, const std::string& tag, std::string& tempPath,
                          FileProblem* problem = nullptr);

// Whether a file may be renamed over path: nothing there yet, a regular
// file, or a symbolic link (rename replaces the link, never its target). A
// FIFO, socket, device node or folder found there is left alone.
bool replaceableByRename(const std::string& path, FileProblem* problem = nullptr);

}  // namespace dd::platform
