// The module's own files and folders on either system: bounded reads,
// replace-by-rename, folders of the user's own, the single-instance guard,
// the module folder and the machine's identity pieces. Portable: the cases
// that need one system's objects (a junction, a named mutex, a volume) are
// guarded, and the temporary folders are std::filesystem's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/append_file.h"
#include "platform/instance_lock.h"
#include "platform/machine_identity.h"
#include "platform/mounts.h"
#include "platform/paths.h"
#include "platform/private_dir.h"
#include "platform/regular_file.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>
#endif

namespace {

namespace fs = std::filesystem;
using dd::platform::FileProblem;
using dd::platform::FileRefusal;
using dd::platform::InstanceLock;

// A fresh folder under the system's temporary folder, removed at the end.
class Scratch {
  public:
    Scratch() {
        std::random_device random;
        m_path = fs::temp_directory_path() /
                 ("ddfiles-" + std::to_string(random()) + "-" + std::to_string(random()));
        fs::create_directories(m_path);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }
    std::string path() const { return m_path.string(); }

  private:
    fs::path m_path;
};

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Sets (or with an empty value removes) a variable for one scope.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = std::getenv(name); old != nullptr) {
            m_old = old;
            m_had = true;
        }
        set(value);
    }
    ~ScopedVariable() { set(m_had ? m_old : std::string()); }

  private:
    void set(const std::string& value) {
#ifdef _WIN32
        _putenv_s(m_name.c_str(), value.c_str());
#else
        if (value.empty()) {
            unsetenv(m_name.c_str());
        } else {
            setenv(m_name.c_str(), value.c_str(), 1);
        }
#endif
    }
    std::string m_name;
    std::string m_old;
    bool m_had = false;
};

TEST(PlatformFiles, ReadsAreBoundedAndRefusalsNamed) {
    Scratch dir;
    writeFile(dir / "small", "0123456789");
    writeFile(dir / "large", std::string(70000, 'x'));
    fs::create_directories(dir / "folder");
    struct Case {
        const char* name;
        size_t limit;
        bool read;
        FileRefusal kind;
        const char* says;
    };
    const Case cases[] = {
        {"small", 10, true, FileRefusal::None, ""},
        {"small", 9, false, FileRefusal::TooLarge, "is over 9 bytes"},
        {"large", 65536, false, FileRefusal::TooLarge, "is over 65536 bytes"},
        {"absent", 10, false, FileRefusal::Missing, "does not exist"},
        {"folder", 10, false, FileRefusal::NotRegular, "is a folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = "stale";
        FileProblem problem;
        EXPECT_EQ(dd::platform::readFileBounded(dir / c.name, c.limit, text, &problem), c.read);
        EXPECT_EQ(problem.kind, c.kind);
        EXPECT_NE(problem.text.find(c.says), std::string::npos) << problem.text;
        EXPECT_EQ(text.size() <= c.limit, true);
        if (!c.read) {
            EXPECT_NE(problem.text.find(dir / c.name), std::string::npos) << problem.text;
        }
    }
    std::string prefix;
    EXPECT_TRUE(dd::platform::readFilePrefix(dir / "large", 4, prefix));
    EXPECT_EQ(prefix, "xxxx");
}

TEST(PlatformFiles, ReplacingByRenameLeavesOnlyTheNewContent) {
    Scratch dir;
    std::string path = dir / "marker.xml";
    writeFile(path, "old content that is longer");
    ASSERT_TRUE(dd::platform::writeFileAtomically(path, "new"));
    EXPECT_EQ(readFile(path), "new");
    EXPECT_TRUE(dd::platform::writeFileAtomically(dir / "fresh", "made"));
    EXPECT_EQ(readFile(dir / "fresh"), "made");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"fresh", "marker.xml"}));

    // A folder at the path is neither replaced nor written into.
    fs::create_directories(dir / "taken");
    FileProblem problem;
    EXPECT_FALSE(dd::platform::writeFileAtomically(dir / "taken", "x", &problem));
    EXPECT_EQ(problem.kind, FileRefusal::NotRegular);
    EXPECT_TRUE(fs::is_directory(dir / "taken"));

    // What the O_* flags ask for: an exclusive create refuses an existing
    // file, a truncating open empties one.
    EXPECT_FALSE(dd::platform::openRegularFile(path, O_WRONLY | O_CREAT | O_EXCL));
    EXPECT_TRUE(dd::platform::openRegularFile(path, O_WRONLY | O_TRUNC));
    EXPECT_EQ(readFile(path), "");
}

TEST(PlatformFiles, AnAppendedLogKeepsWhatWasThere) {
    Scratch dir;
    std::string log = dir / "DeviceDetect.log";
    {
        dd::platform::AppendFile file;
        ASSERT_TRUE(file.open(log, nullptr));
        EXPECT_EQ(file.sizeAtOpen(), 0u);
        EXPECT_TRUE(file.append("one\n"));
    }
    dd::platform::AppendFile file;
    ASSERT_TRUE(file.open(log, nullptr));
    EXPECT_EQ(file.sizeAtOpen(), 4u);
    EXPECT_TRUE(file.append("two\n"));
    file.close();
    EXPECT_EQ(readFile(log), "one\ntwo\n");

    fs::create_directories(dir / "folder.log");
    std::string problem;
    EXPECT_FALSE(file.open(dir / "folder.log", &problem));
    EXPECT_NE(problem.find("is a folder"), std::string::npos) << problem;
}

TEST(PlatformFiles, PrivateFoldersAreMadeForTheUserAndCheckedBeforeUse) {
    Scratch dir;
    std::string nested = dir / "a/b/c";
    std::string problem;
    EXPECT_TRUE(dd::platform::ensurePrivateDir(nested, &problem)) << problem;
    EXPECT_TRUE(dd::platform::checkPrivateDir(nested, &problem)) << problem;

    writeFile(dir / "file", "x");
    EXPECT_FALSE(dd::platform::checkPrivateDir(dir / "file", &problem));
    EXPECT_NE(problem.find("is not a folder"), std::string::npos) << problem;
    EXPECT_FALSE(dd::platform::checkPrivateDir(dir / "absent", &problem));
    EXPECT_NE(problem.find(dir / "absent"), std::string::npos) << problem;

    // A link to a private folder is not that folder.
    std::error_code error;
    fs::create_directory_symlink(nested, dir / "link", error);
    if (error) {
        GTEST_SKIP() << "no directory link here: " << error.message();
    }
    EXPECT_FALSE(dd::platform::checkPrivateDir(dir / "link", &problem));
    EXPECT_NE(problem.find("symbolic link"), std::string::npos) << problem;
}

TEST(PlatformFiles, TheGuardHasOneHolderAtATime) {
    Scratch dir;
    std::vector<std::string> guards = {dir / "315082cd-02e7-4c3d-aaf6-0ca1a6f91321.lock"};
#ifdef _WIN32
    // Without a folder the guard is a named mutex; a name of this run's
    // own keeps it apart from any other process.
    std::random_device random;
    guards.push_back("ddfiles-" + std::to_string(random()) + ".lock");
#endif
    for (const std::string& guard : guards) {
        SCOPED_TRACE(guard);
        InstanceLock first;
        InstanceLock second;
        std::string problem;
        EXPECT_EQ(first.tryAcquire(guard, &problem), InstanceLock::Result::Acquired) << problem;
        EXPECT_TRUE(first.held());
        EXPECT_EQ(second.tryAcquire(guard, &problem), InstanceLock::Result::HeldElsewhere);
        EXPECT_FALSE(second.held());
        first.release();
        EXPECT_EQ(second.tryAcquire(guard, &problem), InstanceLock::Result::Acquired) << problem;
        EXPECT_EQ(first.tryAcquire(guard, &problem), InstanceLock::Result::HeldElsewhere);
    }
    // A folder where the lock file belongs is someone else's doing.
    fs::create_directories(dir / "planted.lock");
    InstanceLock lock;
    std::string problem;
    EXPECT_EQ(lock.tryAcquire(dir / "planted.lock", &problem), InstanceLock::Result::Untrusted);
    EXPECT_NE(problem.find("folder"), std::string::npos) << problem;
}

// The folder of the program's own file: where a statically linked platform
// library is, as the module's folder is where the module is.
std::string programFolder() {
#ifdef _WIN32
    wchar_t name[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameW(nullptr, name, MAX_PATH);
    return fs::path(std::wstring(name, length)).parent_path().string();
#else
    return fs::read_symlink("/proc/self/exe").parent_path().string();
#endif
}

TEST(PlatformFiles, PathsComeFromTheEnvironmentElseTheSystem) {
    EXPECT_EQ(fs::equivalent(dd::platform::loadedModuleDirectory(), programFolder()), true)
        << dd::platform::loadedModuleDirectory() << " vs " << programFolder();
    {
        Scratch dir;
        ScopedVariable module("DEVICEDETECT_MODULE_DIR", dir / "module");
        ScopedVariable data("XDG_DATA_HOME", dir / "data");
        ScopedVariable config("XDG_CONFIG_HOME", dir / "config");
        ScopedVariable lock("DEVICEDETECT_LOCK_DIR", dir / "lock");
        ScopedVariable adb("DEVICEDETECT_ADB", dir / "adb");
        dd::platform::RuntimePaths paths = dd::platform::readRuntimePaths();
        EXPECT_EQ(paths.moduleDir, dir / "module");
        EXPECT_EQ(paths.dataDir, dd::platform::joinPath(dir / "data", "Orq Sync/PCSync"));
        EXPECT_EQ(paths.configDir, dd::platform::joinPath(dir / "config", "Orq Sync"));
        EXPECT_EQ(paths.lockDir, dir / "lock");
        EXPECT_EQ(paths.adbBinary, dir / "adb");
        EXPECT_EQ(paths.privateFallback, "");
        EXPECT_EQ(dd::platform::loaderIniFiles(paths).back(),
                  dd::platform::joinPath(dir / "module", "orqBRAXLoader.ini"));
    }
#ifdef _WIN32
    // Unset, the user's roaming application-data folder (the shell's
    // folder 26), and the guard becomes the named mutex (no lock folder).
    ScopedVariable data("XDG_DATA_HOME", "");
    ScopedVariable lock("DEVICEDETECT_LOCK_DIR", "");
    const char* appData = std::getenv("APPDATA");
    ASSERT_NE(appData, nullptr);
    dd::platform::RuntimePaths paths = dd::platform::readRuntimePaths();
    EXPECT_EQ(paths.dataDir, dd::platform::joinPath(appData, "Orq Sync/PCSync"));
    EXPECT_EQ(paths.lockDir, "");
#endif
}

TEST(PlatformFiles, IdentityPiecesAreBoundedText) {
    std::string user = dd::platform::currentUserName();
    std::string computer = dd::platform::computerName();
    EXPECT_FALSE(user.empty());
    EXPECT_FALSE(computer.empty());
    EXPECT_LE(user.size(), 4u * 1024);
    EXPECT_LE(computer.size(), 4u * 1024);
    EXPECT_NE(dd::platform::systemVolumeSerial(), 0u);

    // A disk tree named by the environment is read as on Linux, bounded and
    // cut at the first byte that is not text.
    Scratch sysfs;
    fs::create_directories(sysfs / "block/sda/device");
    writeFile(sysfs / "block/sda/device/serial", std::string(" AB\x01ZZ") + std::string(9000, 'Q'));
    EXPECT_EQ(dd::platform::firstDiskSerial(sysfs.path()), "AB");
    writeFile(sysfs / "block/sda/device/serial", "  WD-WCC4E1234567  \n");
    EXPECT_EQ(dd::platform::firstDiskSerial(sysfs.path()), "WD-WCC4E");
    EXPECT_LE(dd::platform::firstDiskSerial("").size(), 8u);
}

#ifdef _WIN32
// A folder whose access list lets everyone in may already hold what someone
// else left there: it is refused, and so is a file inside it is not.
TEST(PlatformFilesWindows, AFolderOpenToEveryoneIsRefused) {
    Scratch dir;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
    SECURITY_ATTRIBUTES everyone{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    std::string open = dir / "open";
    BOOL made = CreateDirectoryW(fs::path(open).wstring().c_str(), &everyone);
    LocalFree(descriptor);
    ASSERT_TRUE(made);
    std::string problem;
    EXPECT_FALSE(dd::platform::checkPrivateDir(open, &problem));
    EXPECT_NE(problem.find("is open to other users (S-1-1-0)"), std::string::npos) << problem;
    EXPECT_FALSE(dd::platform::ensurePrivateDir(open, &problem));
}

// A junction is a folder link anyone can make: it is never a private folder,
// and nothing is written or replaced through it.
TEST(PlatformFilesWindows, AJunctionIsNeverAPrivateFolder) {
    Scratch dir;
    std::string target = dir / "real";
    std::string problem;
    ASSERT_TRUE(dd::platform::ensurePrivateDir(target, &problem)) << problem;
    std::string junction = dir / "junction";
    ASSERT_TRUE(CreateDirectoryW(fs::path(junction).wstring().c_str(), nullptr));
    HANDLE handle =
        CreateFileW(fs::path(junction).wstring().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    // The mount-point form of REPARSE_DATA_BUFFER: tag, data length, then
    // the substitute name "\??\target" and an empty print name.
    std::wstring substitute = L"\\??\\" + fs::path(target).wstring();
    std::vector<unsigned char> data(8 + 8 + (substitute.size() + 2) * 2, 0);
    auto put16 = [&](size_t at, size_t value) {
        data[at] = static_cast<unsigned char>(value);
        data[at + 1] = static_cast<unsigned char>(value >> 8);
    };
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(data.data(), &tag, 4);
    put16(4, data.size() - 8);
    put16(10, substitute.size() * 2);
    put16(12, (substitute.size() + 1) * 2);
    std::memcpy(data.data() + 16, substitute.data(), substitute.size() * 2);
    DWORD returned = 0;
    BOOL made = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, data.data(),
                                static_cast<DWORD>(data.size()), nullptr, 0, &returned, nullptr);
    CloseHandle(handle);
    if (!made) {
        GTEST_SKIP() << "no junction here (error " << GetLastError() << ")";
    }
    EXPECT_FALSE(dd::platform::checkPrivateDir(junction, &problem));
    EXPECT_NE(problem.find("symbolic link or junction"), std::string::npos) << problem;
    EXPECT_FALSE(dd::platform::openPrivateFile(junction, 0, &problem));
    EXPECT_FALSE(dd::platform::writeFileAtomically(junction, "x"));
}

TEST(PlatformFilesWindows, OnlyDriveLettersAreUnmounted) {
    std::string problem;
    EXPECT_FALSE(dd::platform::unmountNoFollow("C:\\Windows", &problem));
    EXPECT_NE(problem.find("only a drive letter"), std::string::npos) << problem;
}
#endif

}  // namespace
