#include "platform/program_files.h"

#include "platform/win32/win_handle.h"

namespace dd::platform {

std::string sharedLibraryName(const std::string& name) {
    return name + ".dll";
}

std::string executablePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return std::string();
        }
        if (n < path.size()) {
            path.resize(n);
            return win32::narrow(path);
        }
        if (path.size() >= 32768) {
            return std::string();  // longer than any path Windows makes
        }
        path.resize(path.size() * 2);  // cut short: a longer path
    }
}

std::string absolutePath(const std::string& path) {
    std::wstring wide = win32::widen(path);
    DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return path;
    }
    std::wstring full(needed, L'\0');
    DWORD n = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (n == 0 || n >= needed) {
        return path;
    }
    full.resize(n);
    return win32::narrow(full);
}

bool isExecutableFile(const std::string& path) {
    // Windows runs any file it can read; a folder is not one.
    DWORD attributes = GetFileAttributesW(win32::widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool canReadAndWrite(const std::string& path) {
    // Told from the attributes, never by opening it: an open of a device
    // may act on the device.
    DWORD attributes = GetFileAttributesW(win32::widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

bool listFolder(const std::string& path, std::vector<std::string>& names, std::string* problem) {
    names.clear();
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileExW(win32::widen(path + "\\*").c_str(), FindExInfoBasic, &entry,
                                     FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            return true;  // a folder with nothing in it (not even "." on some drives)
        }
        if (problem != nullptr) {
            *problem = win32::errorText(error);
        }
        return false;
    }
    do {
        std::wstring_view name(entry.cFileName);
        if (name != L"." && name != L"..") {
            names.push_back(win32::narrow(name));
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return true;
}

char pathListSeparator() {
    return ';';
}

}  // namespace dd::platform
