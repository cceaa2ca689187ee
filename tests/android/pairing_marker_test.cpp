// The pairing marker: the three outcomes of the check, re-pairing, the local
// files it leaves (none) and the remembered devices, against an in-memory
// phone; and the marker's text rule for files that are empty, huge,
// odd-length or not UTF-16.
#include "android/pairing_marker.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/text_codec.h"
#include "deviceinfo/android_device_info.h"
#include "in_process_log.h"
#include "platform/ini_file.h"
#include "test_env.h"

namespace {

using dd::android::markerNamesThisPc;
using dd::android::markerTextOf;

const std::string kThisPc = "alice_desk.example_00c0ffee_S3RIAL01";
const std::string kOtherPc = "bob_laptop_deadbeef_OTHERDSK";

// One phone's companion service, holding its files in memory. Records what
// was uploaded and which local file it came from.
class FakePhone : public dd::android::MarkerFileRequests {
  public:
    int listFile(const std::string& remotePath) override {
        ++lists;
        if (failRequests) {
            return -1;
        }
        return files.count(remotePath) != 0 ? 0 : 1;
    }
    bool uploadFile(const std::string& remotePath, const std::string& localPath) override {
        uploadedFrom.push_back(localPath);
        if (failRequests) {
            return false;
        }
        files[remotePath] = ddtest::readFile(localPath);
        return true;
    }
    bool downloadFile(const std::string& remotePath, const std::string& localPath) override {
        ++downloads;
        auto it = files.find(remotePath);
        if (failRequests || failDownload || it == files.end()) {
            return false;
        }
        ddtest::writeFile(localPath, it->second);
        return true;
    }

    std::map<std::string, std::string> files;
    std::vector<std::string> uploadedFrom;
    int lists = 0;
    int downloads = 0;
    bool failRequests = false;
    bool failDownload = false;
};

class PairingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ddtest::makeDirs(dataDir);
        entry = std::make_shared<AndroidDeviceInfo>();
        entry->confPath = "/storage/emulated/0/Orq";
        entry->adbSerial = "R58M12ABCDE";
        entry->factoryReset = 77;  // what the information query left
        context.pcIdentity = kThisPc;
        context.dataDir = dataDir;
    }

    std::string remote() const { return "/filesystem/file/storage/emulated/0/Orq/android.dat"; }
    std::string remembered(const std::string& serial) {
        return dd::platform::readIniString(dd::android::rememberedDevicesPath(dataDir), "imei",
                                           serial, "<none>");
    }
    std::vector<std::string> dataFiles() { return ddtest::listDir(dataDir); }
    std::string log() { return logs.sandbox.log(); }

    // theApp's rememberDevice, with the device thread found being this phone's.
    int rememberThisPhone(const std::string& serial) {
        ++rememberCalls;
        auto finder = [&](const std::string& wanted) -> std::optional<dd::android::PairingTarget> {
            if (!dd::equalsIgnoreCase(wanted, entry->adbSerial) || !threadExists) {
                return std::nullopt;
            }
            return dd::android::PairingTarget{entry, entry->confPath, 4242, nullptr, nullptr};
        };
        auto factory =
            [&](uint16_t port,
                const dd::ExitFlag*) -> std::unique_ptr<dd::android::MarkerFileRequests> {
            servicePorts.push_back(port);
            return std::make_unique<Borrowed>(phone);
        };
        return dd::android::rememberDeviceWith(serial, finder, factory, context);
    }
    void check() {
        dd::android::checkPairingMarker(phone, *entry, "thread-serial", context,
                                        [&](const std::string& s) { return rememberThisPhone(s); });
    }

    // Hands the test's phone to code that wants to own its request object.
    struct Borrowed : dd::android::MarkerFileRequests {
        explicit Borrowed(FakePhone& p) : phone(p) {}
        int listFile(const std::string& r) override { return phone.listFile(r); }
        bool uploadFile(const std::string& r, const std::string& l) override {
            return phone.uploadFile(r, l);
        }
        bool downloadFile(const std::string& r, const std::string& l) override {
            return phone.downloadFile(r, l);
        }
        FakePhone& phone;
    };

    ddtest::InProcessLog logs;
    std::string dataDir = logs.sandbox.dataDir();
    std::shared_ptr<AndroidDeviceInfo> entry;
    dd::android::PairingContext context;
    FakePhone phone;
    bool threadExists = true;
    int rememberCalls = 0;
    std::vector<uint16_t> servicePorts;
};

// --- The outcomes --------------------------------------------------------------

// What the service-level tests cannot see: the local copies left behind, the
// re-pairing calls and their port, and failed requests. factoryReset starts
// at 77, what the information query left.
TEST_F(PairingTest, OutcomesLocalFilesAndRepairing) {
    const std::string ini = "remembereddevice.ini";
    struct Case {
        const char* what;
        const std::string* marker;  // nullptr: none on the phone
        bool failRequests, failDownload, noConfPath;
        uint32_t factoryReset;
        int rememberCalls;
        const char* remembered;
        std::vector<std::string> left;  // in the data folder afterwards
        const char* logLine;
    };
    const char* reset = "IMEI:thread-serial already factory reset.";
    const char* kept = "IMEI:thread-serial not factory reset match pc";
    const char* other = "IMEI:thread-serial not factory reset other pc";
    const Case cases[] = {
        {"none", nullptr, false, false, false, 1, 0, "65535", {ini}, reset},
        {"this pc", &kThisPc, false, false, false, 0, 0, "<none>", {}, kept},
        {"other pc", &kOtherPc, false, false, false, 0, 1, "65535", {ini}, other},
        {"failed listing", &kThisPc, true, false, false, 1, 0, "65535", {ini}, reset},
        {"failed download", &kThisPc, false, true, false, 0, 1, "65535", {ini}, other},
        {"no conf path", nullptr, false, false, true, 77, 0, "<none>", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        phone = FakePhone{};
        std::remove(dd::android::rememberedDevicesPath(dataDir).c_str());
        if (c.marker != nullptr) {
            phone.files[remote()] = dd::android::encodeMarker(*c.marker);
        }
        phone.failRequests = c.failRequests;
        phone.failDownload = c.failDownload;
        entry->confPath = c.noConfPath ? "" : "/storage/emulated/0/Orq";
        entry->factoryReset = 77;
        rememberCalls = 0;
        servicePorts.clear();
        size_t logged = log().size();
        check();
        EXPECT_NE(log().find(c.logLine, logged), std::string::npos);
        EXPECT_EQ(entry->factoryReset, c.factoryReset);
        EXPECT_EQ(rememberCalls, c.rememberCalls);
        EXPECT_EQ(servicePorts, std::vector<uint16_t>(c.rememberCalls, 4242))
            << "through the found thread's port";
        EXPECT_EQ(remembered("R58M12ABCDE"), c.remembered);
        EXPECT_EQ(dataFiles(), c.left) << "local copies are deleted";
        EXPECT_EQ(phone.lists, c.noConfPath ? 0 : 1);
        EXPECT_EQ(phone.uploadedFrom.size(), c.factoryReset == 1u || c.rememberCalls ? 1u : 0u);
        if (!c.noConfPath) {
            EXPECT_EQ(phone.files[remote()], dd::android::encodeMarker(kThisPc));
        }
    }
    EXPECT_EQ(dd::android::encodeMarker(kThisPc).size(), kThisPc.size() * 2)
        << "no mark, no terminator";
    EXPECT_NE(log().find("put" + dataDir + "/android_R58M12ABCDE.dat to " + remote()),
              std::string::npos);
}

// Another PC's marker with no thread of the serial to re-pair through stays
// (2): a marker differing only in case, and one that cannot be downloaded
// while a stale local copy left by a crash names this PC.
TEST_F(PairingTest, OtherPcStaysWhenNoThreadOfTheSerialIsFound) {
    std::string upper = kThisPc;
    upper[0] = 'A';
    for (auto [marker, failDownload] :
         {std::pair{kOtherPc, false}, {upper, false}, {kOtherPc, true}}) {
        SCOPED_TRACE(marker);
        phone.files[remote()] = dd::android::encodeMarker(marker);
        phone.failDownload = failDownload;
        if (failDownload) {
            ddtest::writeFile(dd::android::localMarkerPath(dataDir, entry->adbSerial),
                              dd::android::encodeMarker(kThisPc));
        }
        threadExists = false;
        check();
        EXPECT_EQ(entry->factoryReset, 2u);
        EXPECT_EQ(phone.files[remote()], dd::android::encodeMarker(marker));
        EXPECT_EQ(remembered("R58M12ABCDE"), "<none>");
    }
}

// --- Local files and remembered devices -----------------------------------------------

TEST_F(PairingTest, LocalCopyNameCarriesOnlySafeCharacters) {
    std::string path = dd::android::localMarkerPath(dataDir, "../../etc/x y");
    EXPECT_EQ(path.rfind(dataDir + "/android_", 0), 0u);
    EXPECT_EQ(path.find('/', dataDir.size() + 1), std::string::npos)
        << "one file in the data folder";
    EXPECT_EQ(path.find(' ', dataDir.size()), std::string::npos);
    EXPECT_NE(dd::android::localMarkerPath(dataDir, "A1"),
              dd::android::localMarkerPath(dataDir, "B1"));
}

TEST_F(PairingTest, SerialThatWouldBreakTheIniFileIsNotRemembered) {
    entry->adbSerial = "evil=1\n[imei]";
    check();
    EXPECT_EQ(entry->factoryReset, 1u);
    std::string ini = ddtest::readFile(dd::android::rememberedDevicesPath(dataDir));
    EXPECT_EQ(ini.find("evil"), std::string::npos);
}

// --- The marker's text -------------------------------------------------------------------

std::string utf16le(std::u16string_view text) {
    std::string bytes;
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xff);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

TEST(MarkerText, EncodingIsUtf16LittleEndianOfTheIdentity) {
    EXPECT_EQ(dd::android::encodeMarker("u\xc3\xa9_1"), utf16le(u"u\u00e9_1"));
    EXPECT_EQ(dd::android::encodeMarker("\xf0\x9f\x98\x80"), utf16le(u"\U0001F600"));
}

// Files as they may come off a phone: the text they hold, and whether it
// names the PC "abc".
TEST(MarkerText, TextOfOddFilesAndWhetherItNamesThisPc) {
    struct Case {
        const char* what;
        std::string bytes;
        std::u16string text;
        bool namesAbc;
    };
    const std::string abc = utf16le(u"abc");
    const std::string lone = utf16le(u"ab") + std::string("\x00\xd8", 2);
    const Case cases[] = {
        {"the identity", abc, u"abc", true},
        {"empty", "", u"", false},
        {"ends at a NUL unit", abc + std::string("\0\0", 2) + utf16le(u"junk"), u"abc", true},
        {"a NUL byte is half a unit", std::string("a\0\0b", 4), u"a\u6200", false},
        {"missing high half reads as 0", abc.substr(0, 5), u"abc", true},
        {"odd last byte is a low half", abc + "x", u"abcx", false},
        {"one byte", "\x41", u"A", false},
        {"8-bit text", "abc", u"\u6261", false},
        {"byte-order mark is text", std::string("\xff\xfe", 2) + abc, u"\ufeffabc", false},
        {"unpaired surrogate", lone, std::u16string(u"ab") + char16_t(0xd800), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.what != std::string("8-bit text")) {
            EXPECT_EQ(markerTextOf(c.bytes), c.text);
        }
        EXPECT_EQ(markerNamesThisPc(c.bytes, "abc"), c.namesAbc);
    }
    EXPECT_FALSE(markerNamesThisPc(kThisPc, kThisPc)) << "the identity as 8-bit text";
}

TEST(MarkerText, HugeMarkerIsCutTo1023Units) {
    std::string huge = utf16le(std::u16string(5000, u'p'));
    EXPECT_EQ(markerTextOf(huge).size(), dd::android::kMarkerTextUnits);
    std::string exact = utf16le(std::u16string(1024, u'q'));  // 2048 bytes, no terminator
    EXPECT_EQ(markerTextOf(exact).size(), 1023u);
    // The identity followed by a terminator and megabytes of junk still matches.
    std::string padded =
        dd::android::encodeMarker(kThisPc) + std::string(2, '\0') + std::string(1 << 20, '\x7f');
    EXPECT_TRUE(markerNamesThisPc(padded, kThisPc));
}

// A conf path is checked through the outcomes; here only the lack of one.
TEST(MarkerText, RemotePathWithoutAConfPath) {
    EXPECT_EQ(dd::android::markerRemotePath(""), "/filesystem/file/android.dat");
}

}  // namespace
