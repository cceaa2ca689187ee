// What makes a file or folder this user's own on Windows: the user's SID, a
// security descriptor that lets only the user and SYSTEM in (what 0700 and
// 0600 are on Linux), and the checks that a folder or an open file found on
// disk is owned by the user and open to nobody else.
#pragma once

#include "platform/win32/win_handle.h"

#include <string>
#include <vector>

namespace dd::platform::win32 {

// The SID of the user the process runs as, as bytes; empty when the token
// cannot be read.
std::vector<unsigned char> currentUserSid();

// The same SID in its "S-1-5-..." text form; empty when it cannot be read.
std::string currentUserSidText();

// Security attributes whose descriptor grants full access to this user and
// SYSTEM only, inherited by what is created inside. valid() is false when
// the system would not build one; creation then falls back to the default
// (inherited) permissions.
class PrivateSecurity {
  public:
    PrivateSecurity();
    ~PrivateSecurity();
    PrivateSecurity(const PrivateSecurity&) = delete;
    PrivateSecurity& operator=(const PrivateSecurity&) = delete;

    bool valid() const { return m_descriptor != nullptr; }
    SECURITY_ATTRIBUTES* attributes() { return valid() ? &m_attributes : nullptr; }

  private:
    PSECURITY_DESCRIPTOR m_descriptor = nullptr;
    SECURITY_ATTRIBUTES m_attributes{};
};

// Empty when the object's owner is this user (or the owner the user's token
// gives what it creates, Administrators for an elevated administrator) and
// its access list lets no one else in but SYSTEM and Administrators; else a
// plain reason ("belongs to S-1-5-...", "is open to other users (S-1-1-0)").
// Either the handle (when not INVALID_HANDLE_VALUE) or the path is examined.
std::string ownershipProblem(HANDLE handle, const std::wstring& path, bool checkAccessList);

}  // namespace dd::platform::win32
