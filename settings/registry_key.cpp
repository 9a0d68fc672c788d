#include "settings/registry_key.h"

#include <cstdint>
#include <limits>
#include <string_view>

using platform::registry_status::kSuccess;
using platform::registry_type::kString;

RegistryKey::RegistryKey(platform::Registry& registry)
    : registry_(&registry), hkey_(platform::KeyCloser{&registry}) {}

bool RegistryKey::Open(platform::KeyHandle root, const char16_t* subKey, bool openExistingOnly) {
    platform::KeyHandle* const out = hkey_.put();
    status_ =
        openExistingOnly ? registry_->OpenKey(root, subKey, out) : registry_->CreateKey(root, subKey, out);
    if (status_ != kSuccess) {
        hkey_.release();  // whatever a failed call left there is no key of ours to close
        return false;
    }
    return true;
}

bool RegistryKey::ReadString(const char16_t* name, WideString& text) {
    if (!hkey_) {
        return false;
    }
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    status_ = registry_->QueryValue(hkey_.get(), name, &type, nullptr, &size);
    if (status_ != kSuccess || type != kString) {
        return false;
    }

    // Room for every whole character plus a NUL of our own: stored strings need not be terminated.
    char16_t* const buffer = text.WritableBuffer(size / 2 + 1);
    if (buffer == nullptr) {
        return false;  // more than this process can hold is a failed read
    }

    const std::uint32_t room = size;
    status_ = registry_->QueryValue(hkey_.get(), name, &type, buffer, &size);
    // The value may have been rewritten between the two queries; only a string that fitted is taken.
    if (status_ != kSuccess || type != kString || size > room) {
        text.Clear();
        return false;
    }
    buffer[size / 2] = u'\0';  // drops an odd trailing byte
    text.SetLengthToFirstNul();
    return true;
}

bool RegistryKey::WriteString(const char16_t* name, const char16_t* text) {
    if (!hkey_) {
        return false;
    }
    const std::size_t length = std::char_traits<char16_t>::length(text);
    if (length >= std::numeric_limits<std::uint32_t>::max() / sizeof(char16_t)) {
        return false;  // no registry value holds that much
    }
    const auto size = static_cast<std::uint32_t>((length + 1) * sizeof(char16_t));
    status_ = registry_->SetValue(hkey_.get(), name, kString, text, size);
    return status_ == kSuccess;
}
