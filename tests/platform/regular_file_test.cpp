// Whatever stands where the module opens one of its files (a FIFO, a socket,
// a device node, a folder, a link) is refused at once and named; nothing
// waits for the other end of a FIFO, and nothing but a regular file is ever
// written, truncated or replaced.
#include "platform/regular_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "deviceinfo/xml_helper.h"
#include "fifo_guard.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/private_dir.h"
#include "test_env.h"

namespace {

using dd::platform::FileProblem;
using dd::platform::FileRefusal;
using std::chrono::seconds;

constexpr auto kLimit = std::chrono::milliseconds(5000);

bool isFifo(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

TEST(RegularFile, EverythingButARegularFileIsRefusedAndNamed) {
    ddtest::TempDir dir;
    ddtest::writeFile(dir / "plain", "text");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    ddtest::makeDirs(dir / "folder");
    ASSERT_EQ(symlink((dir / "plain").c_str(), (dir / "link").c_str()), 0);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string socketPath = dir / "socket";
    ASSERT_LT(socketPath.size(), sizeof(address.sun_path));
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    bool haveNode = mknod((dir / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;

    struct Case {
        std::string name;
        int flags;
        FileRefusal kind;
        std::string says;
    };
    std::vector<Case> cases = {
        {"fifo", O_RDONLY, FileRefusal::NotRegular, "is a FIFO, not a regular file"},
        {"fifo", O_WRONLY, FileRefusal::NotRegular, "is a FIFO, not a regular file"},
        {"fifo", O_WRONLY | O_CREAT | O_APPEND, FileRefusal::NotRegular, "is a FIFO"},
        {"folder", O_RDONLY, FileRefusal::NotRegular, "is a folder"},
        {"socket", O_RDONLY, FileRefusal::NotRegular, "is a socket"},
        {"link", O_WRONLY | O_NOFOLLOW, FileRefusal::Link, "is a symbolic link"},
        {"absent", O_RDONLY, FileRefusal::Missing, "does not exist"},
    };
    if (haveNode) {
        cases.push_back({"null", O_WRONLY, FileRefusal::NotRegular, "is a character device"});
    }
    for (const Case& c : cases) {
        FileProblem problem;
        bool refused = false;
        EXPECT_TRUE(ddtest::returnsWithin(
            dir / c.name, kLimit,
            [&] { refused = !dd::platform::openRegularFile(dir / c.name, c.flags, &problem); }))
            << c.name << " held the open up";
        EXPECT_TRUE(refused) << c.name;
        EXPECT_EQ(problem.kind, c.kind) << c.name;
        EXPECT_NE(problem.text.find(dir / c.name), std::string::npos) << problem.text;
        EXPECT_NE(problem.text.find(c.says), std::string::npos) << problem.text;
    }
    close(sock);

    // A regular file opens, through a link too unless O_NOFOLLOW forbids it,
    // and O_TRUNC cuts it only once it is known to be one.
    FileProblem problem;
    EXPECT_TRUE(dd::platform::openRegularFile(dir / "link", O_RDONLY, &problem));
    EXPECT_TRUE(dd::platform::openRegularFile(dir / "plain", O_WRONLY | O_TRUNC, &problem));
    EXPECT_EQ(ddtest::readFile(dir / "plain"), "");
}

// Every way the module reads or writes one of its files meets a FIFO planted
// in its place: each returns at once, and the FIFO is still there after.
TEST(RegularFile, NoFileOperationOfTheModuleWaitsOnAFifo) {
    struct Operation {
        const char* name;
        std::function<bool(const std::string&)> run;  // true: it claims success
    };
    const Operation operations[] = {
        {"readFileBounded",
         [](const std::string& path) {
             std::string text;
             return dd::platform::readFileBounded(path, 4096, text);
         }},
        {"readIniString",
         [](const std::string& path) {
             return dd::platform::readIniString(path, "Detect", "LogLevel", "none") != "none";
         }},
        {"writeIniString",
         [](const std::string& path) {
             return dd::platform::writeIniString(path, "imei", "R58", "65535");
         }},
        {"writeFileAtomically",
         [](const std::string& path) { return dd::platform::writeFileAtomically(path, "x"); }},
        {"openPrivateFile",
         [](const std::string& path) {
             return dd::platform::openPrivateFile(path, O_APPEND).valid();
         }},
        {"CXmlHelper::LoadFromFile",
         [](const std::string& path) {
             CXmlHelper xml;
             return xml.LoadFromFile(path) == CXmlHelper::kOk;
         }},
        {"CXmlHelper::SaveXml",
         [](const std::string& path) {
             CXmlHelper xml;
             xml.CreateDocument("detecteddevice");
             xml.setSaveRetryPause(std::chrono::milliseconds(1));
             return xml.SaveXml(path);
         }},
    };
    for (const Operation& op : operations) {
        ddtest::TempDir dir;
        std::string fifo = dir / "planted";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        bool claimed = true;
        EXPECT_TRUE(ddtest::returnsWithin(fifo, kLimit, [&] { claimed = op.run(fifo); }))
            << op.name << " waited on the FIFO";
        EXPECT_FALSE(claimed) << op.name;
        EXPECT_TRUE(isFifo(fifo)) << op.name << " replaced what it did not create";
        EXPECT_EQ(ddtest::listDir(dir.path()), std::vector<std::string>{"planted"})
            << op.name << " left a temporary file behind";
    }
}

}  // namespace
