// Feeds arbitrary stored values to the settings key holder and the repair flow, through the stand-in store:
//   first byte even: the rest is a type code (4 bytes, little-endian) and data, written with SetValue;
//   first byte odd:  the rest is written as the value's file itself, as a damaged or foreign file would be.
// Whatever is stored, ReadString must give either the whole string up to its first NUL or nothing, and the
// flow must leave REG_SZ "true" or "false" behind as its state table says.

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "repair/black_screen_fix.h"
#include "settings/registry_key.h"
#include "tests/support/raw_value.h"
#include "tests/support/recording_dialog.h"

namespace {

std::filesystem::path valueFile;

void Require(bool condition, const char* what) {
    if (!condition) {
        (void)std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    std::string home = (std::filesystem::temp_directory_path() / "blackscreenfix-fuzz-XXXXXX").string();
    Require(::mkdtemp(home.data()) != nullptr, "a scratch home");
    ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    valueFile = std::filesystem::path(home) /
                "standin-registry/HKEY_CURRENT_USER/k_SOFTWARE/k_DROVENAL/k_LUMAREST" /
                "v_USE_SOFTWARE_OPENGL";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    Require(MakeKey(kEditorKey), "the key");
    const bool rawFile = (data[0] & 1) != 0;
    std::optional<RawValue> stored;
    if (rawFile) {
        std::ofstream(valueFile, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
        stored = GetRawValue(kEditorKey, kSwitchName);  // what the store makes of the file, if anything
    } else {
        if (size < 5) {
            return 0;
        }
        const std::uint32_t type = std::uint32_t{data[1]} | std::uint32_t{data[2]} << 8 |
                                   std::uint32_t{data[3]} << 16 | std::uint32_t{data[4]} << 24;
        const RawValue value{type, std::vector<unsigned char>(data + 5, data + size)};
        Require(PutRawValue(kEditorKey, kSwitchName, value), "the write");
        stored = GetRawValue(kEditorKey, kSwitchName);
        Require(stored == value, "the value reads back exactly");
    }

    // What the holder reads: the UTF-16 characters before the first NUL of a REG_SZ value, or nothing.
    std::u16string expected;
    bool readable = stored && stored->type == platform::registry_type::kString;
    if (readable) {
        for (std::size_t i = 0; i + 1 < stored->bytes.size(); i += 2) {
            const auto unit = static_cast<char16_t>(stored->bytes[i] | stored->bytes[i + 1] << 8);
            if (unit == 0) {
                break;
            }
            expected += unit;
        }
    }
    {
        RegistryKey key;
        Require(key.Open(platform::SystemRegistry().CurrentUser(), kEditorKey, false), "the open");
        WideString text;
        Require(key.ReadString(kSwitchName, text) == readable, "ReadString succeeds exactly for strings");
        Require(text.view() == (readable ? std::u16string_view(expected) : std::u16string_view()),
                "the text read");
    }

    const bool on = readable && expected == u"true";
    RecordingDialog dialog(platform::DialogResult::No);
    RunBlackScreenFix(platform::SystemRegistry(), dialog);
    Require(dialog.shown.size() == 1, "one dialog");
    Require((dialog.shown[0].buttons == platform::DialogButtons::YesNo) == on, "dialog B exactly when on");
    Require(GetRawValue(kEditorKey, kSwitchName) == TerminatedString(on ? u"false" : u"true"),
            "the switch afterwards");
    return 0;
}
