// A serial port round trip against a peer that answers "re:" + what it got.
// The port is named by DD_TEST_SERIAL_PORT: under Wine a COM port linked to
// a pty whose far end com_peer.py holds. Without it only the cases that need
// no peer run.
#include "platform/serial_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using dd::platform::SerialOpen;
using dd::platform::SerialPort;
using dd::platform::SerialRead;
using dd::platform::WakeHandle;

fs::path tempFolder() {
    std::random_device random;
    fs::path dir = fs::temp_directory_path() / ("dd-serial-" + std::to_string(random()));
    fs::create_directories(dir);
    return dir;
}

// Reads until want has come whole (or the port stops giving).
std::string readUntil(SerialPort& port, const std::string& want) {
    std::string got;
    int woken = -1;
    while (got.find(want) == std::string::npos &&
           port.readSome(got, 4096, nullptr, nullptr, woken, 10s) == SerialRead::kData) {
    }
    return got;
}

TEST(SerialPort, MissingPortsAreMissing) {
    fs::path dir = tempFolder();
    SerialPort port;
    int error = 0;
    // A tty with no node (Linux) and no COM port named for it (Windows).
    EXPECT_EQ(port.open((dir / "ttyACM0").string(), true, error), SerialOpen::kMissing);
    EXPECT_FALSE(port.isOpen());
#ifdef _WIN32
    std::ofstream(dir / "ttyACM1.com") << "COM0\n";  // not a port: refused, nothing opened
    EXPECT_EQ(port.open((dir / "ttyACM1").string(), true, error), SerialOpen::kMissing);
    EXPECT_EQ(port.open("COM200", true, error), SerialOpen::kMissing);
#endif
    fs::remove_all(dir);
}

class SerialPeer : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* name = std::getenv("DD_TEST_SERIAL_PORT");
        if (name == nullptr || *name == '\0') {
            GTEST_SKIP() << "no peer: DD_TEST_SERIAL_PORT is not set";
        }
        m_name = name;
    }
    std::string m_name;
};

TEST_F(SerialPeer, RoundTripThroughTheMapFileAndWaitsCutShort) {
    fs::path dir = tempFolder();
    std::string path = m_name;
#ifdef _WIN32
    // The tty of a fake tree reaches its COM port through the map file.
    std::ofstream(dir / "ttyACM0.com") << m_name << "\r\n";
    path = (dir / "ttyACM0").string();
#endif
    SerialPort port;
    int error = 0;
    ASSERT_EQ(port.open(path, true, error), SerialOpen::kOk) << "error " << error;

    const std::string request = "ping\r\n";
    ASSERT_EQ(port.writeAll(reinterpret_cast<const uint8_t*>(request.data()), request.size(), 5s),
              request.size());
    EXPECT_EQ(readUntil(port, "re:ping\r\n"), "re:ping\r\n");

    // Nothing more comes: a signalled wake ends the read, else the time does.
    WakeHandle wake;
    ASSERT_TRUE(wake.valid());
    wake.signal();
    std::string none;
    int woken = -1;
    EXPECT_EQ(port.readSome(none, 4096, nullptr, &wake, woken, 60s), SerialRead::kWoken);
    EXPECT_EQ(woken, 1);
    wake.drain();
    EXPECT_EQ(port.readSome(none, 4096, &wake, nullptr, woken, 50ms), SerialRead::kTimeout);
    EXPECT_TRUE(none.empty());

    // A read left pending by the time limit still delivers its bytes.
    const std::string second = "again";
    ASSERT_EQ(port.writeAll(reinterpret_cast<const uint8_t*>(second.data()), second.size(), 5s),
              second.size());
    EXPECT_EQ(readUntil(port, "re:again"), "re:again");

    port.flushInput();
    port.dropModemLines();
    const std::string bye = "bye";
    port.writeAll(reinterpret_cast<const uint8_t*>(bye.data()), bye.size(), 5s);
    port.close();
    EXPECT_FALSE(port.isOpen());
    fs::remove_all(dir);
}

}  // namespace
