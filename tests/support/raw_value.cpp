#include "tests/support/raw_value.h"

#include "platform/registry.h"

namespace {

platform::UniqueKey OpenUserKey(const char16_t* key, bool create) {
    platform::Registry& registry = platform::SystemRegistry();
    platform::UniqueKey handle(platform::KeyCloser{&registry});
    const auto status = create ? registry.CreateKey(registry.CurrentUser(), key, handle.put())
                               : registry.OpenKey(registry.CurrentUser(), key, handle.put());
    if (status != 0) {
        handle.release();
    }
    return handle;
}

}  // namespace

std::vector<unsigned char> Utf16Bytes(std::u16string_view text) {
    std::vector<unsigned char> bytes;
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return bytes;
}

RawValue StringValue(std::u16string_view textWithTerminator) {
    return {platform::registry_type::kString, Utf16Bytes(textWithTerminator)};
}

RawValue TerminatedString(std::u16string_view text) {
    RawValue value = StringValue(text);
    value.bytes.insert(value.bytes.end(), 2, 0);
    return value;
}

bool PutRawValue(const char16_t* key, const char16_t* name, const RawValue& value) {
    const platform::UniqueKey handle = OpenUserKey(key, /*create=*/true);
    // A buffer one unit longer than the data, filled with non-zero bytes: the Windows registry quietly counts
    // a terminator in for string data that is followed by a zero in memory.
    std::vector<unsigned char> data(value.bytes);
    data.insert(data.end(), {0xFF, 0xFF});
    return handle && platform::SystemRegistry().SetValue(handle.get(), name, value.type, data.data(),
                                                         static_cast<std::uint32_t>(value.bytes.size())) == 0;
}

std::optional<RawValue> GetRawValue(const char16_t* key, const char16_t* name) {
    const platform::UniqueKey handle = OpenUserKey(key, /*create=*/false);
    if (!handle) {
        return std::nullopt;
    }
    platform::Registry& registry = platform::SystemRegistry();
    RawValue value;
    std::uint32_t size = 0;
    if (registry.QueryValue(handle.get(), name, &value.type, nullptr, &size) != 0) {
        return std::nullopt;
    }
    value.bytes.resize(size);
    if (registry.QueryValue(handle.get(), name, &value.type, value.bytes.data(), &size) != 0) {
        return std::nullopt;
    }
    value.bytes.resize(size);
    return value;
}

bool MakeKey(const char16_t* key) {
    return static_cast<bool>(OpenUserKey(key, /*create=*/true));
}
bool KeyExists(const char16_t* key) {
    return static_cast<bool>(OpenUserKey(key, /*create=*/false));
}
