// Folders and files that hold this user's phones, its log and its lock.
//
// Shared folders such as /tmp let another user plant a symbolic link or a
// file of their own where we are about to write. Everything here is made
// for one user: folders 0700, files 0600, opened without following links,
// and a folder is trusted only when lstat shows a real directory owned by
// this user.
#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace dd::platform {

// "$TMPDIR/devicedetect-UID" (TMPDIR defaults to /tmp): where the module's
// files go when neither the environment nor the home folder names a place
// of this user's own.
std::string privateFallbackDir();

// Checks, creating nothing, that path is a real directory owned by this
// user with no permission for group or others. False with a plain reason
// ("... is a symbolic link", "... belongs to uid 1001", "... is open to other
// users (mode 0755)") when it cannot be trusted. A folder that fails is not
// used at all: whoever could enter it may already have left something there.
bool checkPrivateDir(const std::string& path, std::string* problem = nullptr);

// Creates path (and missing parents, 0700), then checkPrivateDir.
bool ensurePrivateDir(const std::string& path, std::string* problem = nullptr);

// Opens (creating 0600 when missing) a regular file of this user for
// writing, never through a symbolic link and never blocking on a FIFO or a
// device node (openRegularFile). flags adds O_APPEND or O_TRUNC. Empty with a
// plain reason in problem when the path is a link, not a regular file,
// belongs to someone else, or cannot be opened.
UniqueFd openPrivateFile(const std::string& path, int flags, std::string* problem = nullptr);

}  // namespace dd::platform
