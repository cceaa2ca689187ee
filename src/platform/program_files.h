// The files of a program and its machine as a console tool looks at them:
// the names libraries have on this system, the program's own path, whether
// a file may be run or opened, and the entries of a folder.
#pragma once

#include <string>
#include <vector>

namespace dd::platform {

// "libNAME.so" on Linux, "NAME.dll" on Windows.
std::string sharedLibraryName(const std::string& name);
// The running program's own file; empty when the system cannot tell.
std::string executablePath();
// path made absolute with every link resolved; path itself when that fails.
std::string absolutePath(const std::string& path);
// Whether path is a file this user may run.
bool isExecutableFile(const std::string& path);
// Whether this user may open path for reading and writing.
bool canReadAndWrite(const std::string& path);
// The names in a folder (without "." and ".."); false, with the system's
// reason in *problem, when it cannot be read.
bool listFolder(const std::string& path, std::vector<std::string>& names,
                std::string* problem = nullptr);
// The separator of the PATH variable's folders (':' or ';').
char pathListSeparator();

}  // namespace dd::platform
