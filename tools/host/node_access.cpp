#include "node_access.h"

#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/machine_identity.h"

namespace {

constexpr const char* kRulesCopy =
    "install the devicedetect package, or: sudo cp data/udev/70-orq-sync.rules "
    "/etc/udev/rules.d/ && sudo udevadm control --reload && sudo udevadm trigger "
    "--subsystem-match=usb, then plug the phone in again";

#ifndef _WIN32
// Groups are the Linux side of a node's access; a Windows node has none.
bool sessionHasGroup(gid_t gid) {
    if (getegid() == gid) {
        return true;
    }
    int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
    count = getgroups(static_cast<int>(groups.size()), groups.data());
    for (int i = 0; i < count; ++i) {
        if (groups[static_cast<size_t>(i)] == gid) {
            return true;
        }
    }
    return false;
}

bool databaseHasUserInGroup(const std::string& user, const group& entry) {
    if (const passwd* pw = getpwnam(user.c_str()); pw != nullptr && pw->pw_gid == entry.gr_gid) {
        return true;
    }
    for (char** member = entry.gr_mem; member != nullptr && *member != nullptr; ++member) {
        if (user == *member) {
            return true;
        }
    }
    return false;
}
#endif

}  // namespace

std::string nodeAccessAdvice(const NodeAccessFacts& facts) {
    if (facts.rulesFile.empty()) {
        return std::string("no udev rules give it to this user; ") + kRulesCopy;
    }
    if (facts.nodeGroup != kRulesGroup || !facts.nodeGroupCanWrite) {
        // The node is still as the kernel made it: udev has not applied the
        // rules to this phone (they came after it was plugged in, or udev was
        // not told of them).
        return "the rules in " + facts.rulesFile + " have not been applied to it (it belongs to " +
               "group " + (facts.nodeGroup.empty() ? "?" : facts.nodeGroup) +
               "): sudo udevadm control --reload && sudo udevadm trigger --subsystem-match=usb, "
               "or plug the phone in again";
    }
    std::string seat = facts.remoteSession
                           ? " (the user at the seat gets it; this session is over ssh)"
                           : " (nor is this session the one at the seat)";
    if (!facts.userInRulesGroup) {
        return "it is given to the user at the seat and to group " + std::string(kRulesGroup) +
               ", and " + facts.user + " is not in that group" + seat + ": sudo adduser " +
               facts.user + " " + kRulesGroup + ", then log in again";
    }
    if (!facts.sessionInRulesGroup) {
        return facts.user + " was added to group " + kRulesGroup +
               " after this login: log in again (or start a shell with: newgrp " + kRulesGroup +
               ")";
    }
    return "its group " + std::string(kRulesGroup) + " may read and write it, yet the open was " +
           "refused: look at its access list with: getfacl " + facts.node;
}

NodeAccessFacts readNodeAccessFacts(const std::string& node, const std::string& rulesFile) {
    NodeAccessFacts facts;
    facts.node = node;
    facts.user = dd::platform::currentUserName();
    facts.rulesFile = rulesFile;
#ifndef _WIN32
    struct stat st {};
    if (stat(node.c_str(), &st) == 0) {
        const group* owner = getgrgid(st.st_gid);
        facts.nodeGroup = owner != nullptr ? owner->gr_name : std::to_string(st.st_gid);
        facts.nodeGroupCanWrite = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    }
    if (const group* rules = getgrnam(kRulesGroup); rules != nullptr) {
        facts.userInRulesGroup = databaseHasUserInGroup(facts.user, *rules);
        facts.sessionInRulesGroup = sessionHasGroup(rules->gr_gid);
    }
#endif
    const char* ssh = std::getenv("SSH_CONNECTION");
    facts.remoteSession = ssh != nullptr && *ssh != 0;
    return facts;
}
