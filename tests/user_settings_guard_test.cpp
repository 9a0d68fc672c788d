// On Windows the suites run on the real registry. ScratchStore gives every test a key of its own in place of
// HKEY_CURRENT_USER, so that running them on somebody's machine leaves that user's settings as they
// were; this shows it does, with the program itself writing the editor's switch.

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "repair/black_screen_fix.h"
#include "tests/support/raw_value.h"
#include "tests/support/recording_dialog.h"
#include "tests/support/scratch_store.h"

namespace {

constexpr wchar_t kEditorKeyBelowSoftware[] = L"Drovenal\\Lumarest";
constexpr wchar_t kSwitchWide[] = L"use_software_opengl";
constexpr wchar_t kGuardKey[] = L"BlackScreenFixTests\\Guard";
constexpr wchar_t kSentinel[] = L"sentinel";

// A value as it is stored under `root`, read without creating anything; nothing when the key or value is
// missing.
std::optional<RawValue> Read(HKEY root, const wchar_t* key, const wchar_t* name) {
    HKEY k = nullptr;
    if (::RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    RawValue value;
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status = ::RegQueryValueExW(k, name, nullptr, &type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        value.bytes.resize(size);
        status = ::RegQueryValueExW(k, name, nullptr, &type, value.bytes.data(), &size);
    }
    ::RegCloseKey(k);
    if (status != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.type = type;
    value.bytes.resize(size);
    return value;
}

bool Exists(HKEY root, const std::wstring& key) {
    HKEY k = nullptr;
    if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) {
        return false;
    }
    ::RegCloseKey(k);
    return true;
}

class UserSettingsGuardTest : public ::testing::Test {
  protected:
    // The user's own HKEY_CURRENT_USER\Software, opened before any test redirects HKEY_CURRENT_USER: a handle
    // to a key below it keeps pointing there. (HKEY_CURRENT_USER itself opened with no sub-key would be
    // handed back as it is, and follow the redirection.)
    void SetUp() override {
        const bool opened = ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ | KEY_WRITE,
                                            &userSoftware) == ERROR_SUCCESS;
        ASSERT_TRUE(opened);
    }
    void TearDown() override {
        if (userSoftware != nullptr) {
            ::RegDeleteTreeW(userSoftware, kGuardKey);
            ::RegDeleteKeyW(userSoftware, kGuardKey);
            ::RegCloseKey(userSoftware);
        }
    }

    HKEY userSoftware = nullptr;
};

TEST_F(UserSettingsGuardTest, WhatATestWritesAndDeletesStaysInItsScratchKey) {
    // A value of the tests' own in the user's registry, which a test's clean-up would delete if it
    // reached it.
    const RawValue planted = StringValue(std::u16string_view(u"user's own\0", 11));
    const bool set = ::RegSetKeyValueW(userSoftware, kGuardKey, kSentinel, planted.type, planted.bytes.data(),
                                       static_cast<DWORD>(planted.bytes.size())) == ERROR_SUCCESS;
    ASSERT_TRUE(set);
    // The editor's switch as the user has it (on a test machine: missing). It is only ever read here.
    const std::optional<RawValue> editorSwitch = Read(userSoftware, kEditorKeyBelowSoftware, kSwitchWide);

    {
        ScratchStore store;
        EXPECT_FALSE(KeyExists(u"Software\\BlackScreenFixTests\\Guard")) << "a test starts on an empty key";

        RecordingDialog dialog;
        RunBlackScreenFix(platform::SystemRegistry(), dialog);
        ASSERT_EQ(dialog.shown.size(), 1u);
        EXPECT_EQ(GetRawValue(kEditorKey, kSwitchName), TerminatedString(u"true"))
            << "the program wrote its switch through HKEY_CURRENT_USER";
        EXPECT_EQ(Read(userSoftware, kEditorKeyBelowSoftware, kSwitchWide), editorSwitch)
            << "the user's own switch is untouched";

        ASSERT_TRUE(
            PutRawValue(u"Software\\BlackScreenFixTests\\Guard", u"sentinel", StringValue(u"scratch")));
        EXPECT_EQ(Read(userSoftware, kGuardKey, kSentinel), planted);
    }

    // The scratch key is gone, HKEY_CURRENT_USER is the user's own again, and nothing of it was changed.
    EXPECT_FALSE(
        Exists(userSoftware, L"BlackScreenFixTests\\Scratch\\" + std::to_wstring(::GetCurrentProcessId())));
    EXPECT_EQ(Read(userSoftware, kGuardKey, kSentinel), planted);
    EXPECT_EQ(Read(HKEY_CURRENT_USER, L"Software\\BlackScreenFixTests\\Guard", kSentinel), planted);
    EXPECT_EQ(Read(userSoftware, kEditorKeyBelowSoftware, kSwitchWide), editorSwitch);
}

}  // namespace
