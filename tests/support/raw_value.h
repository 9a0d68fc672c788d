#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// Values as the registry stores them: a type code and the exact bytes, for setting up and checking tests
// through the system registry without going through the code under test.
struct RawValue {
    std::uint32_t type = 0;
    std::vector<unsigned char> bytes;
    bool operator==(const RawValue& other) const { return type == other.type && bytes == other.bytes; }
};

// For test failures: "type 1, 74 00 72 00 ...".
inline void PrintTo(const RawValue& value, std::ostream* os) {
    *os << "type " << value.type << ",";
    const char* digits = "0123456789abcdef";
    for (const unsigned char b : value.bytes) {
        *os << ' ' << digits[b >> 4] << digits[b & 15];
    }
}

// The editor's settings key under HKEY_CURRENT_USER, and the switch in it.
constexpr char16_t kEditorKey[] = u"Software\\Drovenal\\Lumarest";
constexpr char16_t kSwitchName[] = u"use_software_opengl";
// A key of the tests' own under HKEY_CURRENT_USER, apart from the editor's.
constexpr char16_t kTestKey[] = u"Software\\BlackScreenFixTests";

// The UTF-16 code units of `text`, little-endian, exactly as written (add u'\0' for a terminator).
std::vector<unsigned char> Utf16Bytes(std::u16string_view text);
// REG_SZ data exactly as given, terminator or not.
RawValue StringValue(std::u16string_view textWithTerminator);
// REG_SZ data with its terminating NUL, the way the program writes text: 10 bytes for "true", 12 for "false".
RawValue TerminatedString(std::u16string_view text);

// Write `value` as `name` under HKEY_CURRENT_USER\`key`, creating the key; false if the registry refused.
bool PutRawValue(const char16_t* key, const char16_t* name, const RawValue& value);
// The stored value, or nothing if the key or value is missing.
std::optional<RawValue> GetRawValue(const char16_t* key, const char16_t* name);
// Makes HKEY_CURRENT_USER\`key` exist.
bool MakeKey(const char16_t* key);
bool KeyExists(const char16_t* key);
