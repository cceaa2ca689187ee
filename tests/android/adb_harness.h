// What the adb runner's own tests add to the adb environment: the runner
// library loaded as the module loads it, with a guard area past its output
// buffer.
#pragma once

#include <dlfcn.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "adb_server.h"
#include "base/text_codec.h"
#include "devicedetect/DeviceController.h"
#include "support/adb_environment.h"
#include "support/test_env.h"

namespace ddtest {

// libDeviceController.so as the module loads it.
class DeviceControllerLib {
  public:
    DeviceControllerLib() {
        std::string path = std::string(DD_TEST_MODULE_DIR) + "/libDeviceController.so";
        m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(m_handle, nullptr) << dlerror();
        if (m_handle != nullptr) {
            m_run = reinterpret_cast<QX_RunAdbCmdFn>(dlsym(m_handle, "QX_RunAdbCmd"));
            m_unmount = reinterpret_cast<QX_UnmountDiskFn>(dlsym(m_handle, "QX_UnmountDisk"));
        }
    }
    ~DeviceControllerLib() {
        if (m_handle != nullptr) {
            dlclose(m_handle);
        }
    }
    DeviceControllerLib(const DeviceControllerLib&) = delete;
    DeviceControllerLib& operator=(const DeviceControllerLib&) = delete;

    CommandResult run(const std::string& args, size_t outSize = 40960) const {
        CommandResult result;
        std::u16string wide = dd::utf8ToUtf16(args);
        std::vector<char> out(outSize + 64, '\x5a');  // a guard area past the buffer
        result.code = m_run(wide.c_str(), static_cast<int32_t>(wide.size()), out.data(),
                            static_cast<int32_t>(outSize));
        for (size_t i = outSize; i < out.size(); ++i) {
            EXPECT_EQ(out[i], '\x5a') << "written past the buffer at " << i;
        }
        result.text.assign(out.data(), strnlen(out.data(), outSize));
        EXPECT_LT(result.text.size(), outSize) << "no NUL inside the buffer";
        return result;
    }
    uint16_t unmount(DeviceRecord* record) const { return m_unmount(record); }
    QX_RunAdbCmdFn entry() const { return m_run; }

  private:
    void* m_handle = nullptr;
    QX_RunAdbCmdFn m_run = nullptr;
    QX_UnmountDiskFn m_unmount = nullptr;
};

// Splits a command line at blanks (the tests' command lines hold no quotes).
inline std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t end = line.find(' ', pos);
        if (end == std::string::npos)
            end = line.size();
        if (end > pos)
            out.push_back(line.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

}  // namespace ddtest
