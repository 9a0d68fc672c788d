// The stand-in store itself: what it keeps on disk and where. These cases are about files and folders, so
// they run only where the stand-in is the registry.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/registry.h"
#include "repair/black_screen_fix.h"
#include "tests/support/case_name.h"
#include "tests/support/raw_value.h"
#include "tests/support/recording_dialog.h"
#include "tests/support/scratch_store.h"

namespace {

namespace fs = std::filesystem;
using namespace platform::registry_status;
using namespace platform::registry_type;

constexpr char16_t kTestKey[] = u"Software\\BlackScreenFixTests";

class StandInStoreTest : public ::testing::Test {
  protected:
    fs::path StoreRoot() const { return fs::path(store.home()) / "standin-registry" / "HKEY_CURRENT_USER"; }

    ScratchStore store;
    platform::Registry& registry = platform::SystemRegistry();
};

TEST_F(StandInStoreTest, OpenExistingOnlyFailsOnAMissingKey) {
    platform::UniqueKey key(platform::KeyCloser{&registry});
    EXPECT_EQ(registry.OpenKey(registry.CurrentUser(), u"Software\\Missing", key.put()), kFileNotFound);
    EXPECT_FALSE(key);
    EXPECT_FALSE(fs::exists(StoreRoot() / "k_SOFTWARE" / "k_MISSING"));
}

TEST_F(StandInStoreTest, WrittenValuesAndKeysAreTheUsersAlone) {
    ASSERT_TRUE(PutRawValue(u"Software\\Drovenal\\Lumarest", u"use_software_opengl", StringValue(u"true")));
    for (const auto& entry : fs::recursive_directory_iterator(StoreRoot().parent_path())) {
        const auto permissions = fs::status(entry.path()).permissions();
        EXPECT_EQ(permissions & (fs::perms::group_all | fs::perms::others_all), fs::perms::none)
            << entry.path() << " is open to others";
    }
}

TEST_F(StandInStoreTest, RelativeConfigFolderIsIgnoredInFavourOfHome) {
    const fs::path home = fs::path(store.home()) / "home";
    fs::create_directories(home);
    const char* const homeBefore = std::getenv("HOME");
    const std::string savedHome = homeBefore != nullptr ? homeBefore : "";
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", "relative/config", 1);

    const bool written = PutRawValue(kTestKey, u"v", StringValue(u"x"));
    ::setenv("HOME", savedHome.c_str(), 1);

    EXPECT_TRUE(written);
    EXPECT_TRUE(fs::exists(home / ".config" / "standin-registry" / "HKEY_CURRENT_USER" / "k_SOFTWARE"));
    EXPECT_FALSE(fs::exists("relative"));
}

// What a value file may look like after a crash, a full disk or another program's meddling.
struct DamageCase {
    const char* what;
    std::string contents;
};
void PrintTo(const DamageCase& c, std::ostream* os) {
    *os << c.what;
}

class DamagedValueTest : public StandInStoreTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedValueTest, IsNeverReadAsAValueAndTheRepairReplacesIt) {
    ASSERT_TRUE(PutRawValue(u"Software\\Drovenal\\Lumarest", u"use_software_opengl", StringValue(u"true")));
    const fs::path file = StoreRoot() / "k_SOFTWARE" / "k_DROVENAL" / "k_LUMAREST" / "v_USE_SOFTWARE_OPENGL";
    ASSERT_TRUE(fs::exists(file));
    std::ofstream(file, std::ios::binary | std::ios::trunc) << GetParam().contents;

    platform::UniqueKey key(platform::KeyCloser{&registry});
    ASSERT_EQ(registry.OpenKey(registry.CurrentUser(), u"Software\\Drovenal\\Lumarest", key.put()), kSuccess);
    std::uint32_t size = 0;
    EXPECT_EQ(registry.QueryValue(key.get(), u"use_software_opengl", nullptr, nullptr, &size),
              kRegistryCorrupt);

    RecordingDialog dialog;
    RunBlackScreenFix(registry, dialog);
    EXPECT_EQ(dialog.shown.size(), 1u);
    EXPECT_EQ(GetRawValue(u"Software\\Drovenal\\Lumarest", u"use_software_opengl"),
              StringValue(std::u16string_view(u"true\0", 5)));
}

INSTANTIATE_TEST_SUITE_P(
    Files, DamagedValueTest,
    ::testing::Values(DamageCase{"empty", ""}, DamageCase{"header cut short", std::string("REGV\1\0\0", 7)},
                      DamageCase{"data cut short", std::string("REGV\1\0\0\0\12\0\0\0t\0r\0", 16)},
                      DamageCase{"longer than announced", std::string("REGV\1\0\0\0\2\0\0\0t\0r\0", 16)},
                      DamageCase{"garbage", std::string(64, '\x5A')}),
    CaseName<DamageCase>);

TEST_F(StandInStoreTest, FolderWhereAValueBelongsIsACorruptValue) {
    ASSERT_TRUE(PutRawValue(kTestKey, u"other", StringValue(u"x")));
    fs::create_directories(StoreRoot() / "k_SOFTWARE" / "k_BLACKSCREENFIXTESTS" / "v_V");
    platform::UniqueKey key(platform::KeyCloser{&registry});
    ASSERT_EQ(registry.OpenKey(registry.CurrentUser(), kTestKey, key.put()), kSuccess);
    std::uint32_t size = 0;
    EXPECT_EQ(registry.QueryValue(key.get(), u"v", nullptr, nullptr, &size), kRegistryCorrupt);
    EXPECT_NE(registry.SetValue(key.get(), u"v", kString, u"x", 4), kSuccess);
    EXPECT_TRUE(fs::is_directory(StoreRoot() / "k_SOFTWARE" / "k_BLACKSCREENFIXTESTS" / "v_V"));
}

TEST_F(StandInStoreTest, FileWhereAKeyBelongsFailsTheOpenAndTheRepairIsSilent) {
    fs::create_directories(StoreRoot() / "k_SOFTWARE" / "k_DROVENAL");
    std::ofstream(StoreRoot() / "k_SOFTWARE" / "k_DROVENAL" / "k_LUMAREST") << "not a key";
    platform::UniqueKey key(platform::KeyCloser{&registry});
    EXPECT_EQ(registry.CreateKey(registry.CurrentUser(), u"Software\\Drovenal\\Lumarest", key.put()),
              kRegistryCorrupt);

    RecordingDialog dialog;
    RunBlackScreenFix(registry, dialog);
    EXPECT_TRUE(dialog.shown.empty());
    EXPECT_TRUE(fs::is_regular_file(StoreRoot() / "k_SOFTWARE" / "k_DROVENAL" / "k_LUMAREST"));
}

TEST_F(StandInStoreTest, AbandonedTemporaryFilesAreRemovedByTheNextWrite) {
    ASSERT_TRUE(PutRawValue(kTestKey, u"v", StringValue(u"old")));
    const fs::path folder = StoreRoot() / "k_SOFTWARE" / "k_BLACKSCREENFIXTESTS";
    // No process has the largest pid; a live one's file (our parent's) must stay.
    const fs::path abandoned = folder / ".tmp-4194304-1";
    const fs::path live = folder / (".tmp-" + std::to_string(::getppid()) + "-1");
    std::ofstream(abandoned) << "REGV half";
    std::ofstream(live) << "REGV half";

    EXPECT_EQ(GetRawValue(kTestKey, u"v"), StringValue(u"old")) << "a temporary file is never a value";
    ASSERT_TRUE(PutRawValue(kTestKey, u"v", StringValue(u"new")));
    EXPECT_FALSE(fs::exists(abandoned));
    EXPECT_TRUE(fs::exists(live));
    EXPECT_EQ(GetRawValue(kTestKey, u"v"), StringValue(u"new"));
}

TEST_F(StandInStoreTest, KeyDeletedWhileOpenRefusesWrites) {
    platform::UniqueKey key(platform::KeyCloser{&registry});
    ASSERT_EQ(registry.CreateKey(registry.CurrentUser(), kTestKey, key.put()), kSuccess);
    fs::remove_all(StoreRoot() / "k_SOFTWARE");
    EXPECT_EQ(registry.SetValue(key.get(), u"v", kString, u"x", 4), kKeyDeleted);
    std::uint32_t size = 0;
    EXPECT_EQ(registry.QueryValue(key.get(), u"v", nullptr, nullptr, &size), kKeyDeleted);
}

TEST_F(StandInStoreTest, ClosedOrForeignHandlesAreRefused) {
    platform::KeyHandle key = nullptr;
    ASSERT_EQ(registry.CreateKey(registry.CurrentUser(), kTestKey, &key), kSuccess);
    EXPECT_EQ(registry.CloseKey(key), kSuccess);
    EXPECT_EQ(registry.CloseKey(key), kInvalidHandle);
    EXPECT_EQ(registry.SetValue(key, u"v", kString, u"x", 4), kInvalidHandle);
    EXPECT_EQ(registry.CloseKey(registry.CurrentUser()), kSuccess) << "the root is never really closed";
}

}  // namespace
