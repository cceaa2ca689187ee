// The tag protocol's requests and reply readers, with replies as the phones
// (and phonesim) write them, and with broken and hostile ones.
#include <gtest/gtest.h>

#include <string>

#include "brew/brew_reply.h"
#include "brew_phone.h"

namespace {

using namespace std::string_literals;
using namespace dd::brew;

TEST(BrewReply, RequestsAreTheProtocolTexts) {
    EXPECT_EQ(detectPhoneRequest(), "DetectPhone<EndTag0x0d0c0f>");
    EXPECT_EQ(detectPhoneRequest().size(), 27u);
    EXPECT_EQ(getPhoneInfoRequest().size(), 28u);
    EXPECT_EQ(readPictureRequest(kSyncSvrPath),
              "ReadPicture fs:/shared/tmp/syncsvr.dat<EndTag0x0d0c0f>");
    EXPECT_EQ(getSyncSettingRequest(), "GetSyncSetting<EndTag0x0d0c0f>");
}

TEST(BrewReply, OnlyValuesAfterTheOkLineAreTakenAndLongOnesAreCut) {
    const std::string ok =
        "DetectPhone OK\r\nModelName:Orq Classic\r\nIMEI:3569\r\n<EndTag0x0d0c0f>";
    struct Case {
        std::string reply, command, name;
        int result;
        std::string value;
    } cases[] = {
        {ok, "DetectPhone", "IMEI", kValueFound, "3569"},
        {ok, "DetectPhone", "ModelName", kValueFound, "Orq Classic"},
        {"IMEI:1\r\nDetectPhone OK\r\n", "DetectPhone", "IMEI", kValueBeforeOk, "*"},
        {"IMEI:1\r\n", "DetectPhone", "IMEI", kValueBeforeOk, "*"},  // no " OK" at all
        {"DetectPhone OK\r\nIMEI 1\r\n", "DetectPhone", "IMEI", kValueMissing, "kept"},
        {"DetectPhone OK\r\nIMEIX:1\r\n", "DetectPhone", "IMEI", kValueMissing, "kept"},
        {"DetectPhone OK\r\nIMEI:1", "", "IMEI", kValueMissing, "kept"},
        {"DetectPhone OK\r\nIMEI:1", "DetectPhone", "", kValueMissing, "kept"},
        {"GetPhoneInfo OK\r\nFirmwareVersion:" + std::string(5000, 'v') + "\r\n", "GetPhoneInfo",
         "FirmwareVersion", kValueFound, std::string(kMaxValueBytes, 'v')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply.substr(0, 40) + " / " + c.name);
        std::string value = "kept";
        EXPECT_EQ(getReplyValue(c.reply, c.command, c.name, value), c.result);
        if (c.value != "*") {  // a value before the OK line is not said to be kept
            EXPECT_EQ(value, c.value);
        }
    }
}

TEST(BrewReply, ReadPictureTakesExactlyTheAnnouncedBytes) {
    phonesim::BrewPhoneSpec spec;
    spec.syncSvr = "PC-ONE\0PC-TWO\0"s;
    phonesim::BrewPhone phone(spec);
    std::string content;
    ASSERT_TRUE(parseReadPicture(phone.answer(readPictureRequest(kSyncSvrPath)), content));
    EXPECT_EQ(content, spec.syncSvr);
    EXPECT_EQ(syncSvrNames(content), (std::vector<std::string>{"PC-ONE", "PC-TWO"}));
}

TEST(BrewReply, BrokenReadPictureRepliesGiveNothing) {
    const std::string begin = "ReadPicture OK\r\nDataBegin\r\nFileLength:";
    for (const std::string& reply : {
             "ReadPicture ERROR\r\nDataBegin\r\nFileLength:2\r\nFileBegin\r\nab"s,
             begin + "20\r\nFileBegin\r\nab",  // announces more than it holds
             begin + "x\r\nFileBegin\r\nab", begin + "2\r\n",
             begin + "99999999999999999999999\r\nFileBegin\r\n",
             "ReadPicture OK\r\nFileLength:2\r\nFileBegin\r\nab"s,  // no DataBegin
             begin + "0\r\nFileBegin",  // FileBegin as the very last line
         }) {
        std::string content = "old";
        EXPECT_FALSE(parseReadPicture(reply, content)) << reply;
        EXPECT_EQ(content, "");
    }
}

TEST(BrewReply, SyncSettingNamesAreSplitOnCommasAndLineBreaks) {
    std::string reply = "GetSyncSetting\r\n alice@PC1 ,bob@PC2\r\ncarol@PC3,\r\n<EndTag0x0d0c0f>";
    std::vector<std::string> names = syncSettingNames(syncSettingText(reply));
    EXPECT_EQ(names, (std::vector<std::string>{"alice@PC1", "bob@PC2", "carol@PC3"}));
    EXPECT_TRUE(holdsName(names, "BOB@pc2"));
    EXPECT_FALSE(holdsName(names, "bob"));
    EXPECT_FALSE(holdsName(names, ""));
    EXPECT_EQ(syncSettingText("GetSyncSetting a,b"), "") << "no end tag";
    EXPECT_TRUE(syncSettingNames("").empty());
}

TEST(BrewReply, NamesThatAreNotUtf8NeverMatchAndNeverBreakTheList) {
    std::string content = "\xFF\xFEPC\0me@PC\0"s;
    std::vector<std::string> names = syncSvrNames(content);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_TRUE(holdsName(names, "ME@pc"));
    EXPECT_FALSE(holdsName(names, "PC"));
}

TEST(BrewReply, WritePictureIsCutIntoBlocksOf3072) {
    std::string content(3072 * 2 + 10, 'x');
    std::vector<std::string> requests = writePictureRequests(kSyncSvrPath, content);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_NE(requests[0].find("Position<Tag0x0d0c11>:Begin\r\n"), std::string::npos);
    EXPECT_NE(requests[1].find("Position<Tag0x0d0c11>:Continue\r\n"), std::string::npos);
    EXPECT_NE(requests[2].find("FileEnd<Tag0x0d0c01>\r\nDataEnd<EndTag0x0d0c0f>"),
              std::string::npos);
    EXPECT_EQ(writePictureRequests(kSyncSvrPath, "").size(), 1u);

    phonesim::BrewPhone phone({});
    for (const std::string& request : requests) {
        phone.answer(request);
    }
    EXPECT_EQ(phone.syncSvr(), content) << "the phone puts the blocks back together";
}

TEST(BrewReply, SetSyncSettingOver4096BytesIsNotBuilt) {
    std::string request;
    std::string overhead = "SetSyncSetting \r\n <EndTag0x0d0c0f>";
    EXPECT_TRUE(setSyncSettingRequest(std::string(4096 - overhead.size(), 'a'), request));
    EXPECT_EQ(request.size(), 4096u);
    EXPECT_FALSE(setSyncSettingRequest(std::string(4096 - overhead.size() + 1, 'a'), request));
    EXPECT_TRUE(request.empty());
}

TEST(BrewReply, OnlyPlainImeisAndModelNamesNameFiles) {
    EXPECT_TRUE(isSafeImei("356938035643809"));
    EXPECT_TRUE(isSafeImei("A1-b_2"));
    for (const char* bad :
         {"", "../../x", "1/2", "1.2", "1'2", "1\"2", "a]b", "a[b", "a b", "a\\b"}) {
        EXPECT_FALSE(isSafeImei(bad)) << bad;
    }
    EXPECT_FALSE(isSafeImei(std::string(64, '1')));
    EXPECT_TRUE(isSafeModelFileName("Orq Classic"));
    for (const char* bad : {"", "../x", "a/b", "a\\b", ".hidden", "a\nb"}) {
        EXPECT_FALSE(isSafeModelFileName(bad)) << bad;
    }
}

TEST(BrewReply, PhoneTextIsCleanedForTheStore) {
    EXPECT_EQ(cleanPhoneText("Orq \xC3\xA9t\xC3\xA9"), "Orq \xC3\xA9t\xC3\xA9");
    EXPECT_EQ(cleanPhoneText("a\xFF"
                             "b\x01"
                             "c"),
              "a?b?c");
    EXPECT_EQ(cleanPhoneText("\xC3\xA9\xC3\xA9", 3), "\xC3\xA9") << "cut on a character";
    EXPECT_EQ(cleanPhoneText("\xED\xA0\x80"), "???") << "a surrogate is not UTF-8";
}

}  // namespace
