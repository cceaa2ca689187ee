// Which removals the host has to explain: those of a phone that left without
// ever being ready. A phone the user disconnects while it is still plugged in
// is removed at once and removed once more when it is pulled out; that second
// removal belongs to a phone that was served and needs no explanation.
#pragma once

#include <cstdint>
#include <set>
#include <string>

class ServedPhones {
  public:
    // Takes one device change in the order the module sent it; true when it
    // is the removal of a phone (known by its USB ids) that was never ready.
    bool unservedRemoval(int32_t code, const std::string& serial, uint32_t vid);

  private:
    std::set<std::string> m_announced;  // shown with NEW_DEVICE and not yet removed
    std::set<std::string> m_left;       // announced and removed since, until seen again
};
