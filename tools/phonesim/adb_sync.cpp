#include "adb_sync.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "adb_phone.h"
#include "adb_wire.h"
#include "loopback_server.h"

namespace phonesim {
namespace {

using adbwire::getLe32;
using adbwire::putLe32;

constexpr uint32_t kMaxPath = 1024;
constexpr uint32_t kMaxChunk = 64 * 1024;
constexpr uint32_t kDirMode = 040771;
constexpr uint32_t kFileMode = 0100644;

bool readHeader(int fd, std::string& id, uint32_t& length) {
    unsigned char header[8];
    if (!recvExact(fd, header, sizeof(header))) {
        return false;
    }
    id.assign(reinterpret_cast<char*>(header), 4);
    length = getLe32(header + 4);
    return true;
}

bool sendFailMessage(int fd, const std::string& message) {
    std::string reply = "FAIL";
    putLe32(reply, static_cast<uint32_t>(message.size()));
    reply += message;
    return sendAll(fd, reply);
}

bool isDirectory(const std::string& path) {
    return path == "/" || path == "/data" || path == "/data/local" || path == "/data/local/tmp" ||
           path == "/data/local/tmp/" || path == "/sdcard" || path == "/sdcard/";
}

bool answerStat(int fd, AdbPhone& phone, const std::string& path) {
    uint32_t mode = 0;
    uint32_t size = 0;
    if (isDirectory(path)) {
        mode = kDirMode;
        size = 4096;
    } else if (phone.hasFile(path)) {
        mode = kFileMode;
        size = static_cast<uint32_t>(phone.fileSize(path));
    }
    std::string reply = "STAT";
    putLe32(reply, mode);
    putLe32(reply, size);
    putLe32(reply, mode != 0 ? 1583201521u : 0u);
    return sendAll(fd, reply);
}

// Receives the DATA chunks that follow SEND until DONE; false ends the session.
bool receiveFile(int fd, AdbPhone& phone, const std::string& spec) {
    std::string path = spec.substr(0, spec.rfind(','));
    std::string content;
    std::string id;
    uint32_t length = 0;
    for (;;) {
        if (!readHeader(fd, id, length)) {
            return false;
        }
        if (id == "DONE") {
            phone.storeFile(path, std::move(content));
            std::string reply = "OKAY";
            putLe32(reply, 0);
            return sendAll(fd, reply);
        }
        if (id != "DATA" || length > kMaxChunk || content.size() + length > kMaxSyncFile) {
            sendFailMessage(fd, "protocol failure");
            return false;
        }
        size_t old = content.size();
        content.resize(old + length);
        if (!recvExact(fd, content.data() + old, length)) {
            return false;
        }
    }
}

}  // namespace

void serveSync(int fd, AdbPhone& phone) {
    std::string id;
    uint32_t length = 0;
    while (readHeader(fd, id, length)) {
        if (id == "QUIT") {
            return;
        }
        if (length > kMaxPath) {
            sendFailMessage(fd, "path too long");
            return;
        }
        std::string path(length, '\0');
        if (length > 0 && !recvExact(fd, path.data(), length)) {
            return;
        }
        bool ok = false;
        if (id == "STAT") {
            ok = answerStat(fd, phone, path);
        } else if (id == "SEND") {
            ok = receiveFile(fd, phone, path);
        } else if (id == "LIST") {
            std::string reply = "DONE";
            for (int i = 0; i < 4; ++i) {
                putLe32(reply, 0);
            }
            ok = sendAll(fd, reply);
        } else if (id == "RECV") {
            ok = sendFailMessage(fd, "remote object '" + path + "' does not exist");
        }
        if (!ok) {
            return;
        }
    }
}

}  // namespace phonesim
