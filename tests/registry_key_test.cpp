#include "settings/registry_key.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/support/case_name.h"
#include "tests/support/raw_value.h"
#include "tests/support/recording_registry.h"
#include "tests/support/scratch_store.h"

namespace {

using namespace platform::registry_status;
using namespace platform::registry_type;

constexpr char16_t kTestKey[] = u"Software\\BlackScreenFixTests\\RegistryKey";
constexpr char16_t kName[] = u"value";
const std::u16string kUntouched = u"left as it was";

WideString Text(std::u16string_view text) {
    WideString copy;
    EXPECT_TRUE(copy.Assign(text));
    return copy;
}

class RegistryKeyTest : public ::testing::Test {
  protected:
    // A holder with the test key open, on the recording registry.
    RegistryKey OpenHolder() {
        RegistryKey key(registry);
        EXPECT_TRUE(key.Open(registry.CurrentUser(), kTestKey, /*openExistingOnly=*/false));
        return key;
    }

    ScratchStore store;
    RecordingRegistry registry;
};

TEST_F(RegistryKeyTest, EmptyHolderFailsWithoutReachingTheRegistry) {
    RegistryKey key(registry);
    WideString text = Text(kUntouched);

    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(key.status(), kSuccess);
    EXPECT_FALSE(key.ReadString(kName, text));
    EXPECT_FALSE(key.WriteString(kName, u"true"));
    EXPECT_EQ(text.view(), kUntouched);
    EXPECT_TRUE(registry.calls.empty());

    // After a failed open the holder is empty again, and the open's status is what stays remembered.
    EXPECT_FALSE(key.Open(registry.CurrentUser(), u"Software\\BlackScreenFixTests\\Missing", true));
    EXPECT_EQ(key.status(), kFileNotFound);
    registry.calls.clear();
    EXPECT_FALSE(key.ReadString(kName, text));
    EXPECT_FALSE(key.WriteString(kName, u"true"));
    EXPECT_TRUE(registry.calls.empty());
    EXPECT_EQ(key.status(), kFileNotFound);
}

TEST_F(RegistryKeyTest, OpenExistingOnlyFindsOnlyKeysThatExist) {
    RegistryKey key(registry);
    EXPECT_FALSE(key.Open(registry.CurrentUser(), kTestKey, /*openExistingOnly=*/true));
    EXPECT_EQ(key.status(), kFileNotFound);
    EXPECT_FALSE(KeyExists(kTestKey)) << "the open-existing form must not create the key";

    EXPECT_TRUE(key.Open(registry.CurrentUser(), kTestKey, /*openExistingOnly=*/false));
    EXPECT_TRUE(KeyExists(kTestKey));
    EXPECT_TRUE(key.Open(registry.CurrentUser(), kTestKey, /*openExistingOnly=*/true));
    EXPECT_EQ(key.status(), kSuccess);
    // The default access is the owner's full access, not read-only.
    EXPECT_TRUE(key.WriteString(kName, u"true"));
    EXPECT_EQ(GetRawValue(kTestKey, kName), TerminatedString(u"true"));
}

TEST_F(RegistryKeyTest, SecondOpenClosesTheFirstKeyBeforeItsOwnCall) {
    {
        RegistryKey key = OpenHolder();
        EXPECT_TRUE(key.Open(registry.CurrentUser(), kTestKey, /*openExistingOnly=*/true));
        EXPECT_EQ(registry.calls,
                  (std::vector{RegistryCall::CreateKey, RegistryCall::CloseKey, RegistryCall::OpenKey}));
        EXPECT_EQ(registry.OpenKeys(), 1);
    }
    EXPECT_EQ(registry.calls.back(), RegistryCall::CloseKey) << "the holder closes its key when it goes";
    EXPECT_EQ(registry.OpenKeys(), 0);
}

TEST_F(RegistryKeyTest, FailedSecondOpenLeavesNoKeyHeld) {
    RegistryKey key = OpenHolder();
    registry.refuse[RegistryCall::CreateKey] = kAccessDenied;

    EXPECT_FALSE(key.Open(registry.CurrentUser(), kTestKey, /*openExistingOnly=*/false));
    EXPECT_EQ(key.status(), kAccessDenied);
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(registry.OpenKeys(), 0);
    EXPECT_FALSE(key.WriteString(kName, u"true"));
    EXPECT_EQ(registry.Count(RegistryCall::SetValue), 0);
}

TEST_F(RegistryKeyTest, ReadOfAnAbsentValueLeavesTheOutputAsItWas) {
    RegistryKey key = OpenHolder();
    WideString text = Text(kUntouched);
    EXPECT_FALSE(key.ReadString(kName, text));
    EXPECT_EQ(text.view(), kUntouched);
    EXPECT_EQ(key.status(), kFileNotFound);
}

TEST_F(RegistryKeyTest, WriteStoresTheTerminatorAndReplacesOtherTypes) {
    ASSERT_TRUE(PutRawValue(kTestKey, kName, {kDword, {1, 0, 0, 0}}));
    RegistryKey key = OpenHolder();

    EXPECT_TRUE(key.WriteString(kName, u"true"));
    EXPECT_EQ(GetRawValue(kTestKey, kName), TerminatedString(u"true"));
    EXPECT_EQ(GetRawValue(kTestKey, kName)->bytes.size(), 10u);

    EXPECT_TRUE(key.WriteString(kName, u"false"));
    EXPECT_EQ(GetRawValue(kTestKey, kName), TerminatedString(u"false"));
    EXPECT_EQ(GetRawValue(kTestKey, kName)->bytes.size(), 12u);

    WideString text;
    EXPECT_TRUE(key.ReadString(kName, text));
    EXPECT_EQ(text.view(), u"false");
}

TEST_F(RegistryKeyTest, StatusIsThatOfTheLastRegistryCall) {
    RegistryKey key = OpenHolder();
    registry.refuse[RegistryCall::SetValue] = kAccessDenied;
    EXPECT_FALSE(key.WriteString(kName, u"true"));
    EXPECT_EQ(key.status(), kAccessDenied);

    WideString text;
    EXPECT_FALSE(key.ReadString(kName, text));
    EXPECT_EQ(key.status(), kFileNotFound);

    registry.refuse.clear();
    EXPECT_TRUE(key.WriteString(kName, u"true"));
    EXPECT_EQ(key.status(), kSuccess);
}

// Another program may rewrite the value between the query for its size and the query for its data.
struct ChangeCase {
    const char* what;
    std::optional<RawValue> replacement;  // none: the value is deleted
    bool read;
    std::u16string text;
    platform::RegistryStatus status;
};
void PrintTo(const ChangeCase& c, std::ostream* os) {
    *os << c.what;
}

class ValueChangesBetweenQueries : public RegistryKeyTest,
                                   public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ValueChangesBetweenQueries, ReadIsWholeOrEmpty) {
    const ChangeCase& c = GetParam();
    ASSERT_TRUE(PutRawValue(kTestKey, kName, TerminatedString(u"true")));
    RegistryKey key = OpenHolder();
    registry.beforeDataQuery = [&] {
        registry.beforeDataQuery = nullptr;
        if (c.replacement) {
            ASSERT_TRUE(PutRawValue(kTestKey, kName, *c.replacement));
        } else {
            registry.refuse[RegistryCall::QueryValue] = kFileNotFound;  // gone by the second query
        }
    };
    WideString text = Text(kUntouched);

    EXPECT_EQ(key.ReadString(kName, text), c.read);
    EXPECT_EQ(text.view(), c.text);
    EXPECT_EQ(key.status(), c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Rewrites, ValueChangesBetweenQueries,
    ::testing::Values(
        ChangeCase{"grows", StringValue(std::u16string_view(u"true and more\0", 14)), false, u"", kMoreData},
        ChangeCase{"shrinks", StringValue(std::u16string_view(u"no\0", 3)), true, u"no", kSuccess},
        ChangeCase{"becomes a dword", RawValue{kDword, {1, 0, 0, 0}}, false, u"", kSuccess},
        ChangeCase{"is deleted", std::nullopt, false, u"", kFileNotFound}),
    CaseName<ChangeCase>);

}  // namespace
