// What --check tells a user who cannot open a phone's device node: the fix
// for what is actually missing (the rules, their application to the phone,
// the group, a new login), not the same copy-the-rules advice for all.
#include "node_access.h"

#include <gtest/gtest.h>

#include <string>

namespace {

NodeAccessFacts facts(const char* rulesFile, const char* nodeGroup, bool groupCanWrite,
                      bool userInGroup, bool sessionInGroup, bool remote) {
    NodeAccessFacts f;
    f.node = "/dev/bus/usb/001/007";
    f.user = "ana";
    f.rulesFile = rulesFile;
    f.nodeGroup = nodeGroup;
    f.nodeGroupCanWrite = groupCanWrite;
    f.userInRulesGroup = userInGroup;
    f.sessionInRulesGroup = sessionInGroup;
    f.remoteSession = remote;
    return f;
}

constexpr const char* kRules = "/usr/lib/udev/rules.d/70-orq-sync.rules";

struct Case {
    const char* name;
    NodeAccessFacts facts;
    const char* says;     // the advice holds this
    const char* saysNot;  // and not this
};

TEST(NodeAccess, TheAdviceNamesWhatIsMissing) {
    const Case cases[] = {
        {"no rules", facts("", "root", false, false, false, false),
         "sudo cp data/udev/70-orq-sync.rules", "adduser"},
        {"rules not applied yet", facts(kRules, "root", false, true, true, false),
         "have not been applied to it (it belongs to group root): sudo udevadm control --reload",
         "sudo cp"},
        {"applied, but the group may not write", facts(kRules, "plugdev", false, true, true, false),
         "have not been applied", "sudo cp"},
        {"over ssh, not in the group", facts(kRules, "plugdev", true, false, false, true),
         "ana is not in that group (the user at the seat gets it; this session is over ssh): "
         "sudo adduser ana plugdev, then log in again",
         "sudo cp"},
        {"at a console, not in the group", facts(kRules, "plugdev", true, false, false, false),
         "sudo adduser ana plugdev", "udevadm"},
        {"added after this login", facts(kRules, "plugdev", true, true, false, false),
         "ana was added to group plugdev after this login: log in again", "adduser"},
        {"everything in place", facts(kRules, "plugdev", true, true, true, false),
         "getfacl /dev/bus/usb/001/007", "adduser"},
    };
    for (const Case& c : cases) {
        std::string advice = nodeAccessAdvice(c.facts);
        EXPECT_NE(advice.find(c.says), std::string::npos) << c.name << ": " << advice;
        EXPECT_EQ(advice.find(c.saysNot), std::string::npos) << c.name << ": " << advice;
    }
}

}  // namespace
