#pragma once

#include "platform/registry.h"
#include "settings/wide_string.h"

// Holds at most one open registry key and remembers the status code of the last registry call made through
// it. Every operation reports plain success or failure; the status code is for whoever wants the detail and
// is never raised or shown. The held key is closed before another is opened and when the holder goes out of
// scope. Not for sharing between threads.
class RegistryKey {
  public:
    explicit RegistryKey(platform::Registry& registry = platform::SystemRegistry());

    // Opens `subKey` below `root`: with `openExistingOnly`, only an existing key, with the default access;
    // otherwise the key is created when missing and opened with full access. Any key held before is closed
    // first, so after a failed open none is held.
    bool Open(platform::KeyHandle root, const char16_t* subKey, bool openExistingOnly);

    // Reads the REG_SZ value `name` into `text`: the characters before the first NUL of the stored data, an
    // odd trailing byte dropped. Values of any other type are refused. On failure `text` is left as it was
    // when the value could not be found or has another type, and empty when reading its data failed.
    bool ReadString(const char16_t* name, WideString& text);

    // Stores `text` as the REG_SZ value `name`, terminating NUL included, replacing a value of any type.
    bool WriteString(const char16_t* name, const char16_t* text);

    bool IsOpen() const { return static_cast<bool>(hkey_); }

    // The status of the last registry call made through this holder: 0 for success, else a Windows error
    // code. Calls that fail because no key is held never reach the registry and leave it as it was.
    platform::RegistryStatus status() const { return status_; }

  private:
    platform::Registry* registry_;
    platform::UniqueKey hkey_;
    platform::RegistryStatus status_ = platform::registry_status::kSuccess;
};
