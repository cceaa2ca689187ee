// The BREW phones' tag protocol above the framing: the request texts and the
// readers of the replies, as pure functions of bytes. Everything a phone
// sends is bounded and checked here; nothing here does I/O.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace dd::brew {

inline constexpr std::string_view kSyncSvrPath = "fs:/shared/tmp/syncsvr.dat";
inline constexpr size_t kWritePictureBlock = 3072;
inline constexpr size_t kMaxSetSyncSettingRequest = 4096;
// The largest syncsvr.dat we take from a phone; the file holds a few names.
inline constexpr size_t kMaxPictureBytes = 64 * 1024;
// A value longer than this (one reply line) is cut.
inline constexpr size_t kMaxValueBytes = 512;

// Result codes of getReplyValue.
inline constexpr int kValueFound = 0;
inline constexpr int kValueBeforeOk = 21;
inline constexpr int kValueMissing = 87;

std::string detectPhoneRequest();   // "DetectPhone<EndTag0x0d0c0f>"
std::string getPhoneInfoRequest();  // "GetPhoneInfo<EndTag0x0d0c0f>"
std::string readPictureRequest(std::string_view path);
std::string getSyncSettingRequest();
// The WritePicture requests for a file: the first block with position
// "Begin", later ones "Continue", at most 3072 data bytes each. An empty
// file is one request with no data.
std::vector<std::string> writePictureRequests(std::string_view path, std::string_view content);
// The SetSyncSetting request; false (request empty) when it would exceed
// 4096 bytes.
bool setSyncSettingRequest(std::string_view list, std::string& request);

// A value of a reply (lines split by "\r\n"): "command OK" marks success, a
// line "key:" carries the key's value. kValueFound after the OK line,
// kValueBeforeOk when the key's line came first (or there is no OK line),
// kValueMissing when the key is not there or an argument is empty. The
// value is cut at kMaxValueBytes.
int getReplyValue(std::string_view reply, std::string_view command, std::string_view key,
                  std::string& value);

// The file of a ReadPicture reply: a "ReadPicture ... OK" line, "FileLength:"
// with a decimal length, and the content two bytes past the end of the
// "FileBegin" line's text. False when any part is missing, the length is
// malformed or larger than kMaxPictureBytes, or the reply holds fewer bytes
// than it announces.
bool parseReadPicture(std::string_view reply, std::string& content);

// Names of syncsvr.dat: NUL-terminated UTF-8 texts (empty ones skipped).
std::vector<std::string> syncSvrNames(std::string_view content);
// The text between "GetSyncSetting" and the end tag; empty without both.
std::string_view syncSettingText(std::string_view reply);
// Names of a sync-setting list, separated by "," or line breaks, trimmed.
std::vector<std::string> syncSettingNames(std::string_view text);
// True when one name equals key ignoring ASCII case.
bool holdsName(const std::vector<std::string>& names, std::string_view key);

// The new syncsvr.dat that registers only key: key and two NUL bytes.
std::string syncSvrContentFor(std::string_view key);
// The new sync-setting list that registers only key (with a "," after it
// when the old list was empty).
std::string syncSettingListFor(std::string_view key, bool oldListEmpty);

// True for an IMEI that may name a file and a store entry and be the
// phone's key: 1 to kMaxDeviceKeyChars ASCII letters, digits, '-' or '_'.
bool isSafeImei(std::string_view imei);
// True for a model name that may be part of a file name: 1 to 64 bytes,
// no path separator, no leading '.', no control byte.
bool isSafeModelFileName(std::string_view model);
// Text from a phone made fit for an XML attribute: invalid UTF-8 and
// control bytes become '?', cut at maxBytes on a character boundary.
std::string cleanPhoneText(std::string_view text, size_t maxBytes = kMaxValueBytes);

}  // namespace dd::brew
