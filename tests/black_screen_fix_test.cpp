#include "repair/black_screen_fix.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/support/case_name.h"
#include "tests/support/raw_value.h"
#include "tests/support/recording_dialog.h"
#include "tests/support/recording_registry.h"
#include "tests/support/scratch_store.h"

namespace {

using namespace platform::registry_status;
using namespace platform::registry_type;
using platform::DialogButtons;
using platform::DialogResult;

const RecordingDialog::Shown kDialogA{u"修复黑屏", u"环境黑屏问题已尝试修复，重新启动Lumarest，确认是否修复",
                                      DialogButtons::Ok};
const RecordingDialog::Shown kDialogB{u"修复黑屏", u"将要回到硬解，环境黑屏问题已解决？",
                                      DialogButtons::YesNo};

const RawValue kTrue = TerminatedString(u"true");
const RawValue kFalse = TerminatedString(u"false");

void ExpectShown(const std::vector<RecordingDialog::Shown>& shown,
                 const std::optional<RecordingDialog::Shown>& expected) {
    if (!expected) {
        EXPECT_TRUE(shown.empty()) << "no dialog expected";
        return;
    }
    ASSERT_EQ(shown.size(), 1u) << "exactly one dialog expected";
    EXPECT_EQ(shown[0].caption, expected->caption);
    EXPECT_EQ(shown[0].text, expected->text);
    EXPECT_EQ(shown[0].buttons, expected->buttons);
}

enum class Stored { NoKey, NoValue, Value };

struct FlowCase {
    const char* what;
    Stored stored;
    RawValue before;  // when stored is Value
    DialogResult answer;
    std::optional<RecordingDialog::Shown> dialog;
    RawValue after;
};
void PrintTo(const FlowCase& c, std::ostream* os) {
    *os << c.what;
}

class FlowTest : public ::testing::TestWithParam<FlowCase> {
  protected:
    ScratchStore store;
    RecordingRegistry registry;
};

TEST_P(FlowTest, FollowsTheStateTable) {
    const FlowCase& c = GetParam();
    if (c.stored == Stored::NoValue) {
        ASSERT_TRUE(MakeKey(kEditorKey));
    } else if (c.stored == Stored::Value) {
        ASSERT_TRUE(PutRawValue(kEditorKey, kSwitchName, c.before));
    }
    RecordingDialog dialog(c.answer);

    RunBlackScreenFix(registry, dialog);

    ExpectShown(dialog.shown, c.dialog);
    EXPECT_EQ(GetRawValue(kEditorKey, kSwitchName), c.after);
    EXPECT_LE(registry.Count(RegistryCall::SetValue), 1) << "at most one write";
    EXPECT_EQ(registry.OpenKeys(), 0) << "every key opened is closed";
}

std::vector<unsigned char> OddTrue() {
    auto bytes = Utf16Bytes(u"true");
    bytes.push_back('x');
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Switch, FlowTest,
    ::testing::Values(
        FlowCase{"first run without the key", Stored::NoKey, {}, DialogResult::Ok, kDialogA, kTrue},
        FlowCase{"key without the value", Stored::NoValue, {}, DialogResult::Ok, kDialogA, kTrue},
        FlowCase{"false", Stored::Value, kFalse, DialogResult::Ok, kDialogA, kTrue},
        FlowCase{"ok box not shown", Stored::Value, kFalse, DialogResult::NotShown, kDialogA, kTrue},
        FlowCase{"true, answered yes", Stored::Value, kTrue, DialogResult::Yes, kDialogB, kTrue},
        FlowCase{"true, answered no", Stored::Value, kTrue, DialogResult::No, kDialogB, kFalse},
        FlowCase{"true, box not shown", Stored::Value, kTrue, DialogResult::NotShown, kDialogB, kFalse},
        FlowCase{"true with embedded nul, answered yes", Stored::Value,
                 StringValue(std::u16string_view(u"true\0x\0", 7)), DialogResult::Yes, kDialogB,
                 StringValue(std::u16string_view(u"true\0x\0", 7))},
        FlowCase{"true with odd byte, answered no",
                 Stored::Value,
                 {kString, OddTrue()},
                 DialogResult::No,
                 kDialogB,
                 kFalse}),
    CaseName<FlowCase>);

class FlowFailureTest : public ::testing::Test {
  protected:
    ScratchStore store;
    RecordingRegistry registry;
};

TEST_F(FlowFailureTest, YesLeavesTheRegistryUntouched) {
    ASSERT_TRUE(PutRawValue(kEditorKey, kSwitchName, kTrue));
    RecordingDialog dialog(DialogResult::Yes);
    RunBlackScreenFix(registry, dialog);
    EXPECT_EQ(registry.Count(RegistryCall::SetValue), 0);
}

TEST_F(FlowFailureTest, NoThenAFreshRunSwitchesSoftwareRenderingOnAgain) {
    ASSERT_TRUE(PutRawValue(kEditorKey, kSwitchName, kTrue));
    RecordingDialog no(DialogResult::No);
    RunBlackScreenFix(registry, no);
    ExpectShown(no.shown, kDialogB);

    RecordingDialog ok;
    RunBlackScreenFix(registry, ok);
    ExpectShown(ok.shown, kDialogA);
    EXPECT_EQ(GetRawValue(kEditorKey, kSwitchName), kTrue);
}

TEST_F(FlowFailureTest, KeyThatCannotBeOpenedEndsSilently) {
    registry.refuse[RegistryCall::CreateKey] = kAccessDenied;
    RecordingDialog dialog;
    RunBlackScreenFix(registry, dialog);
    ExpectShown(dialog.shown, std::nullopt);
    EXPECT_EQ(registry.calls, std::vector{RegistryCall::CreateKey})
        << "nothing is read or written without a key";
}

TEST_F(FlowFailureTest, RefusedWriteOfTrueShowsNothing) {
    registry.refuse[RegistryCall::SetValue] = kAccessDenied;
    RecordingDialog dialog;
    RunBlackScreenFix(registry, dialog);
    ExpectShown(dialog.shown, std::nullopt);
    EXPECT_EQ(registry.OpenKeys(), 0);
}

TEST_F(FlowFailureTest, RefusedWriteOfFalseIsNotReported) {
    ASSERT_TRUE(PutRawValue(kEditorKey, kSwitchName, kTrue));
    registry.refuse[RegistryCall::SetValue] = kAccessDenied;
    RecordingDialog dialog(DialogResult::No);
    RunBlackScreenFix(registry, dialog);
    ExpectShown(dialog.shown, kDialogB);
    EXPECT_EQ(GetRawValue(kEditorKey, kSwitchName), kTrue);
}

TEST_F(FlowFailureTest, UnreadableValueCountsAsNotOn) {
    ASSERT_TRUE(PutRawValue(kEditorKey, kSwitchName, kTrue));
    registry.refuse[RegistryCall::QueryValue] = kAccessDenied;
    RecordingDialog dialog;
    RunBlackScreenFix(registry, dialog);
    ExpectShown(dialog.shown, kDialogA);
    EXPECT_EQ(GetRawValue(kEditorKey, kSwitchName), kTrue);
}

}  // namespace
