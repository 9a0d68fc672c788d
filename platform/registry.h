#pragma once

// The registry as the rest of the program sees it: the five calls it needs, in the program's own types.
// On Windows they are advapi32's RegCreateKeyExW, RegOpenKeyW, RegQueryValueExW, RegSetValueExW and
// RegCloseKey; elsewhere a stand-in store under the user's configuration folder gives them the same meaning.
//
// Strings are UTF-16 (char16_t) and NUL-terminated. Every call returns the platform's status code (LSTATUS):
// 0 on success, otherwise a Windows error code such as those below. Nothing here throws.

#include <cstdint>

#include "platform/unique_handle.h"

namespace platform {

using RegistryStatus = std::int32_t;

namespace registry_status {
constexpr RegistryStatus kSuccess = 0;
constexpr RegistryStatus kFileNotFound = 2;  // key or value does not exist
constexpr RegistryStatus kAccessDenied = 5;
constexpr RegistryStatus kInvalidHandle = 6;
constexpr RegistryStatus kOutOfMemory = 14;
constexpr RegistryStatus kDiskFull = 112;
constexpr RegistryStatus kInvalidParameter = 87;
constexpr RegistryStatus kBadPathName = 161;
constexpr RegistryStatus kFileNameTooLong = 206;
constexpr RegistryStatus kMoreData = 234;  // the buffer is smaller than the value's data
constexpr RegistryStatus kRegistryCorrupt = 1015;
constexpr RegistryStatus kRegistryIoFailed = 1016;
constexpr RegistryStatus kKeyDeleted = 1018;
}  // namespace registry_status

// Value types, with the registry's own numbering. Any other 32-bit code is a valid type too.
namespace registry_type {
constexpr std::uint32_t kNone = 0;
constexpr std::uint32_t kString = 1;  // REG_SZ: UTF-16 text, normally stored with its terminating NUL
constexpr std::uint32_t kExpandString = 2;
constexpr std::uint32_t kBinary = 3;
constexpr std::uint32_t kDword = 4;
constexpr std::uint32_t kMultiString = 7;
constexpr std::uint32_t kQword = 11;
}  // namespace registry_type

// An open key, as handed out by the registry (an HKEY on Windows). Null means no key.
using KeyHandle = struct OpaqueRegistryKey*;

class Registry {
  public:
    virtual ~Registry() = default;

    // HKEY_CURRENT_USER: the root of the signed-in user's part of the registry. Never closed.
    virtual KeyHandle CurrentUser() = 0;

    // Opens `subKey` below `root`, creating it (and missing parents) if needed, with full access.
    virtual RegistryStatus CreateKey(KeyHandle root, const char16_t* subKey, KeyHandle* result) = 0;

    // Opens an existing `subKey` below `root` with the default access; fails with kFileNotFound if it is
    // missing.
    virtual RegistryStatus OpenKey(KeyHandle root, const char16_t* subKey, KeyHandle* result) = 0;

    // Reads a value's type and data. `type` and `data` may be null. `size` is in bytes: on entry the room in
    // `data`, on return the size of the value's data. With `data` null only the size is reported; with too
    // little room the result is kMoreData and `size` says how much is needed. The data is copied as stored: a
    // string is terminated only if its writer stored the terminator.
    virtual RegistryStatus QueryValue(KeyHandle key, const char16_t* name, std::uint32_t* type, void* data,
                                      std::uint32_t* size) = 0;

    // Stores `size` bytes of `data` as the value `name` of type `type`, replacing any value of that name.
    virtual RegistryStatus SetValue(KeyHandle key, const char16_t* name, std::uint32_t type, const void* data,
                                    std::uint32_t size) = 0;

    virtual RegistryStatus CloseKey(KeyHandle key) = 0;
};

// The operating system's registry (or, off Windows, the stand-in store).
Registry& SystemRegistry();

// Closes a key through the registry it came from; the close's own status is of no use to the owner.
struct KeyCloser {
    Registry* registry = nullptr;
    void operator()(KeyHandle key) const { registry->CloseKey(key); }
};

using UniqueKey = UniqueHandle<KeyHandle, KeyCloser>;

}  // namespace platform
