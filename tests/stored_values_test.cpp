// Whatever another program of the user's may have stored as the editor's switch: what the settings key holder
// reads of it, and what the repair flow then does. The same table runs on the stand-in and on the real
// registry.

#include <gtest/gtest.h>

#include <string>

#include "repair/black_screen_fix.h"
#include "settings/registry_key.h"
#include "tests/support/case_name.h"
#include "tests/support/raw_value.h"
#include "tests/support/recording_dialog.h"
#include "tests/support/recording_registry.h"
#include "tests/support/scratch_store.h"

namespace {

using namespace platform::registry_type;

constexpr std::u16string_view kUntouched = u"left as it was";

// The text a case must read. Every test process builds the whole table and copies each case, so the largest
// text is built only when its test runs.
class ExpectedText {
  public:
    // cppcheck-suppress noExplicitConstructor ; implicit, so that a cell of the table may be the text itself
    ExpectedText(const char16_t* text) : literal_(text) {}
    // cppcheck-suppress noExplicitConstructor
    ExpectedText(std::u16string_view text) : literal_(text) {}
    explicit ExpectedText(std::u16string (*build)()) : build_(build) {}

    std::u16string Get() const { return build_ != nullptr ? build_() : std::u16string(literal_); }

  private:
    std::u16string_view literal_;
    std::u16string (*build_)() = nullptr;
};

std::vector<unsigned char> Bytes(std::u16string_view text, std::size_t extraBytes = 0,
                                 unsigned char fill = 'x') {
    std::vector<unsigned char> bytes = Utf16Bytes(text);
    bytes.insert(bytes.end(), extraBytes, fill);
    return bytes;
}

// "true", a NUL, then filler up to `size` bytes in all.
RawValue TrueThenFiller(std::size_t size) {
    std::vector<unsigned char> bytes = TerminatedString(u"true").bytes;
    bytes.resize(size, 'A');
    return {kString, bytes};
}

struct StoredCase {
    const char* what;
    RawValue (*stored)();
    const char16_t* name;  // the value's name as stored
    bool read;             // ReadString succeeds ...
    ExpectedText text;     // ... with this text (or leaves the output as it was)
    bool on;               // the flow takes the switch for on
};
void PrintTo(const StoredCase& c, std::ostream* os) {
    *os << c.what;
}

const StoredCase kStoredCases[] = {
    {"zero bytes",
     [] {
         return RawValue{kString, {}};
     },
     kSwitchName, true, u"", false},
    {"one byte",
     [] {
         return RawValue{kString, {'t'}};
     },
     kSwitchName, true, u"", false},
    {"terminator only",
     [] {
         return RawValue{kString, {0, 0}};
     },
     kSwitchName, true, u"", false},
    {"three bytes",
     [] {
         return RawValue{kString, {'t', 0, 'r'}};
     },
     kSwitchName, true, u"t", false},
    {"nine bytes, true and an odd one",
     [] {
         return RawValue{kString, Bytes(u"true", 1)};
     },
     kSwitchName, true, u"true", true},
    {"true without terminator",
     [] {
         return RawValue{kString, Bytes(u"true")};
     },
     kSwitchName, true, u"true", true},
    {"true terminated", [] { return TerminatedString(u"true"); }, kSwitchName, true, u"true", true},
    {"true, nul, x", [] { return StringValue(std::u16string_view(u"true\0x\0", 7)); }, kSwitchName, true,
     u"true", true},
    {"false", [] { return TerminatedString(u"false"); }, kSwitchName, true, u"false", false},
    {"upper case TRUE", [] { return StringValue(std::u16string_view(u"TRUE\0", 5)); }, kSwitchName, true,
     u"TRUE", false},
    {"true and a space", [] { return StringValue(std::u16string_view(u"true \0", 6)); }, kSwitchName, true,
     u"true ", false},
    {"chinese text", [] { return StringValue(std::u16string_view(u"修复\0", 3)); }, kSwitchName, true,
     u"修复", false},
    {"unpaired high surrogate after true", [] { return StringValue(std::u16string(u"true\xD800", 5)); },
     kSwitchName, true, std::u16string_view(u"true\xD800", 5), false},
    {"lone low surrogate", [] { return StringValue(std::u16string(1, char16_t{0xDC00})); }, kSwitchName, true,
     std::u16string_view(u"\xDC00", 1), false},
    {"one MiB, true then filler", [] { return TrueThenFiller(std::size_t{1} << 20); }, kSwitchName, true,
     u"true", true},
    {"sixteen MiB of text",
     [] {
         return RawValue{kString, std::vector<unsigned char>(std::size_t{16} << 20, 'A')};
     },
     kSwitchName, true, ExpectedText([] { return std::u16string(std::size_t{8} << 20, u'\x4141'); }), false},
    {"expandable string true",
     [] {
         return RawValue{kExpandString, TerminatedString(u"true").bytes};
     },
     kSwitchName, false, kUntouched, false},
    {"multi string true",
     [] {
         return RawValue{kMultiString, Bytes(std::u16string_view(u"true\0\0", 6))};
     },
     kSwitchName, false, kUntouched, false},
    {"binary true",
     [] {
         return RawValue{kBinary, TerminatedString(u"true").bytes};
     },
     kSwitchName, false, kUntouched, false},
    {"dword 1",
     [] {
         return RawValue{kDword, {1, 0, 0, 0}};
     },
     kSwitchName, false, kUntouched, false},
    {"qword 1",
     [] {
         return RawValue{kQword, {1, 0, 0, 0, 0, 0, 0, 0}};
     },
     kSwitchName, false, kUntouched, false},
    {"none type",
     [] {
         return RawValue{kNone, TerminatedString(u"true").bytes};
     },
     kSwitchName, false, kUntouched, false},
    {"name in other case", [] { return TerminatedString(u"true"); }, u"USE_Software_OpenGL", true, u"true",
     true},
};

class StoredValueTest : public ::testing::TestWithParam<StoredCase> {
  protected:
    ScratchStore store;
};

TEST_P(StoredValueTest, IsReadWholeOrNotAtAll) {
    const StoredCase& c = GetParam();
    ASSERT_TRUE(PutRawValue(kEditorKey, c.name, c.stored()));
    RegistryKey key;
    ASSERT_TRUE(key.Open(platform::SystemRegistry().CurrentUser(), kEditorKey, /*openExistingOnly=*/true));
    WideString text;
    ASSERT_TRUE(text.Assign(kUntouched));

    EXPECT_EQ(key.ReadString(kSwitchName, text), c.read);
    EXPECT_TRUE(text.view() == c.text.Get()) << "read " << text.size() << " characters";
}

TEST_P(StoredValueTest, FlowKeepsTheStateTable) {
    const StoredCase& c = GetParam();
    ASSERT_TRUE(PutRawValue(kEditorKey, c.name, c.stored()));
    RecordingRegistry registry;
    RecordingDialog dialog(platform::DialogResult::No);

    RunBlackScreenFix(registry, dialog);

    ASSERT_EQ(dialog.shown.size(), 1u);
    EXPECT_EQ(dialog.shown[0].buttons, c.on ? platform::DialogButtons::YesNo : platform::DialogButtons::Ok);
    EXPECT_EQ(GetRawValue(kEditorKey, kSwitchName), TerminatedString(c.on ? u"false" : u"true"));
    EXPECT_EQ(registry.Count(RegistryCall::SetValue), 1);
    EXPECT_EQ(registry.OpenKeys(), 0);
}

INSTANTIATE_TEST_SUITE_P(Hostile, StoredValueTest, ::testing::ValuesIn(kStoredCases), CaseName<StoredCase>);

}  // namespace
