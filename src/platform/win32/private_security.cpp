#include "platform/win32/private_security.h"

#include <aclapi.h>
#include <sddl.h>

namespace dd::platform::win32 {
namespace {

// A token information class read into a buffer of the size it asks for.
std::vector<unsigned char> tokenInformation(TOKEN_INFORMATION_CLASS kind) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !GetTokenInformation(token, kind, buffer.data(), size, &size)) {
        buffer.clear();
    }
    CloseHandle(token);
    return buffer;
}

std::vector<unsigned char> copySid(PSID sid) {
    if (sid == nullptr || !IsValidSid(sid)) {
        return {};
    }
    auto* bytes = static_cast<unsigned char*>(sid);
    return std::vector<unsigned char>(bytes, bytes + GetLengthSid(sid));
}

std::string sidText(PSID sid) {
    LPWSTR text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) {
        return "an unknown account";
    }
    std::string out = narrow(text);
    LocalFree(text);
    return out;
}

// The owner the token stamps on what this process creates: the user, or
// the Administrators group for an elevated administrator.
std::vector<unsigned char> defaultOwnerSid() {
    std::vector<unsigned char> info = tokenInformation(TokenOwner);
    if (info.size() < sizeof(TOKEN_OWNER)) {
        return {};
    }
    return copySid(reinterpret_cast<TOKEN_OWNER*>(info.data())->Owner);
}

bool sameSid(PSID sid, std::vector<unsigned char>& known) {
    return !known.empty() && EqualSid(sid, known.data());
}

// Accounts that may hold rights on a private object besides its user:
// SYSTEM and Administrators can take any file anyway, and CREATOR OWNER
// only names whoever creates inside.
bool trustedAccount(PSID sid, std::vector<unsigned char>& user, std::vector<unsigned char>& owner) {
    return sameSid(sid, user) || sameSid(sid, owner) || IsWellKnownSid(sid, WinLocalSystemSid) ||
           IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           IsWellKnownSid(sid, WinCreatorOwnerSid) || IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
}

std::string accessListProblem(PACL acl, std::vector<unsigned char>& user,
                              std::vector<unsigned char>& owner) {
    if (acl == nullptr) {
        return "is open to everyone (no access list)";
    }
    // Rights that let nobody read or change anything.
    constexpr ACCESS_MASK kHarmless = SYNCHRONIZE | READ_CONTROL | FILE_READ_ATTRIBUTES;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(acl, i, &entry)) {
            return "has an access list that cannot be read";
        }
        auto* header = static_cast<ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
            continue;
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        PSID sid = &allowed->SidStart;
        if ((allowed->Mask & ~kHarmless) != 0 && !trustedAccount(sid, user, owner)) {
            return "is open to other users (" + sidText(sid) + ")";
        }
    }
    return {};
}

}  // namespace

std::vector<unsigned char> currentUserSid() {
    std::vector<unsigned char> info = tokenInformation(TokenUser);
    if (info.size() < sizeof(TOKEN_USER)) {
        return {};
    }
    return copySid(reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid);
}

std::string currentUserSidText() {
    std::vector<unsigned char> sid = currentUserSid();
    return sid.empty() ? std::string() : sidText(sid.data());
}

PrivateSecurity::PrivateSecurity() {
    std::string user = currentUserSidText();
    if (user.empty()) {
        return;
    }
    // Protected (P): nothing inherited from the folder above; full access
    // (FA) for the user and SYSTEM, passed on to files (OI) and folders (CI).
    std::wstring sddl = L"D:P(A;OICI;FA;;;" + widen(user) + L")(A;OICI;FA;;;SY)";
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &m_descriptor, nullptr)) {
        m_descriptor = nullptr;
        return;
    }
    m_attributes.nLength = sizeof(m_attributes);
    m_attributes.lpSecurityDescriptor = m_descriptor;
    m_attributes.bInheritHandle = FALSE;
}

PrivateSecurity::~PrivateSecurity() {
    if (m_descriptor != nullptr) {
        LocalFree(m_descriptor);
    }
}

std::string ownershipProblem(HANDLE handle, const std::wstring& path, bool checkAccessList) {
    SECURITY_INFORMATION wanted =
        OWNER_SECURITY_INFORMATION | (checkAccessList ? DACL_SECURITY_INFORMATION : 0);
    PSID ownerSid = nullptr;
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = handle != INVALID_HANDLE_VALUE
                      ? GetSecurityInfo(handle, SE_FILE_OBJECT, wanted, &ownerSid, nullptr, &acl,
                                        nullptr, &descriptor)
                      : GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, wanted, &ownerSid,
                                              nullptr, &acl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        return "cannot read its owner (" + errorText(error) + ")";
    }
    std::vector<unsigned char> user = currentUserSid();
    std::vector<unsigned char> owner = defaultOwnerSid();
    std::string problem;
    if (ownerSid == nullptr || !(sameSid(ownerSid, user) || sameSid(ownerSid, owner))) {
        problem = "belongs to " + sidText(ownerSid);
    } else if (checkAccessList) {
        problem = accessListProblem(acl, user, owner);
    }
    LocalFree(descriptor);
    return problem;
}

}  // namespace dd::platform::win32
