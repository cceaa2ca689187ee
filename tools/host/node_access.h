// Why this user cannot open a phone's device node, and what fixes it. The
// udev rules give a phone's node to the user at the seat (uaccess) and to
// the group plugdev; which of those is missing decides the advice.
#pragma once

#include <string>

struct NodeAccessFacts {
    std::string node;                  // the device node
    std::string user;                  // who runs the check
    std::string rulesFile;             // the installed 70-orq-sync.rules; empty when none is
    std::string nodeGroup;             // group that owns the node
    bool nodeGroupCanWrite = false;    // the node's mode lets that group read and write
    bool userInRulesGroup = false;     // the group database lists the user in plugdev
    bool sessionInRulesGroup = false;  // this login has the group (it was there at login)
    bool remoteSession = false;        // over ssh: the seat's access does not reach it
};

// The group the rules give the phones to.
constexpr const char* kRulesGroup = "plugdev";

// The advice after "<node> cannot be opened by user <user>: ".
std::string nodeAccessAdvice(const NodeAccessFacts& facts);

// The facts of node for this process; rulesFile as found by the caller.
NodeAccessFacts readNodeAccessFacts(const std::string& node, const std::string& rulesFile);
