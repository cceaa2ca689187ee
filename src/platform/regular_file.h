// Opening the files the module keeps or reads (the lock, the log, INI files,
// XML files, downloads) so that nothing planted at their path can hold it up.
//
// A plain open() of a FIFO waits for the other end for ever, and opening a
// device node can wait on, or act on, hardware. Every such file is therefore
// checked before it is opened, opened non-blocking, and checked again with
// fstat: only a regular file is ever handed out.
#pragma once

#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(_WIN32) && !defined(O_NOFOLLOW)
// Windows has no such flag: openRegularFile reads it as "refuse a reparse
// point (a symbolic link or a junction) at the path". A bit the C runtime's
// own O_* flags leave free.
#define O_NOFOLLOW 0x01000000
#endif

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
// Fills problem when the caller asked for one (it may be null).
void setFileProblem(FileProblem* problem, FileRefusal kind, int error, std::string text);

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

// Opens path read-only as a regular file (openRegularFile with O_RDONLY).
UniqueFd openRegularFileForReading(const std::string& path, FileProblem* problem = nullptr);

// Reads at most maxBytes from the start of a regular file (links followed);
// what lies beyond is left unread, not refused. False only when the file
// cannot be opened.
bool readFilePrefix(const std::string& path, size_t maxBytes, std::string& out,
                    FileProblem* problem = nullptr);

// One read or write on an open file: the bytes moved, 0 at the end of the
// file, -1 on error.
long readFromFile(int fd, void* buffer, size_t size);
long writeToFile(int fd, const void* data, size_t size);
// Why the last failed file call on this thread failed (errno, or the
// system's own error code), and that code as plain text for a log line.
int lastFileError();
std::string fileErrorText(int error);
// The size of an open file; false when the system cannot tell.
bool openFileSize(int fd, uint64_t& size);
// Closes fd; false when the system reports that the data did not make it.
bool closeFile(UniqueFd& fd);
// Renames from over to (atomically on one file system).
bool renameFile(const std::string& from, const std::string& to);
// Removes a file (never a folder); nothing when it is not there.
void removeFile(const std::string& path);
// Whether anything is at path (links followed).
bool pathExists(const std::string& path);

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
