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

    // Every file and folder under the scratch home, relative to it.
    std::vector<std::string> Everything() const {
        std::vector<std::string> paths;
        for (const auto& entry : fs::recursive_directory_iterator(store.home())) {
            paths.push_back(fs::relative(entry.path(), store.home()).string());
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    ScratchStore store;
    platform::Registry& registry = platform::SystemRegistry();
};

struct NameCase {
    const char* what;
    std::u16string name;
};
void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.what;
}

const NameCase kHostileNames[] = {
    {"dot", u"."},
    {"dot dot", u".."},
    {"slash", u"/"},
    {"parent path", u"../../escaped"},
    {"absolute path", u"/tmp/escaped"},
    {"escape lookalike", u"%002E%002E"},
    {"temporary file lookalike", u".tmp-1-1"},
    {"nul in the middle", std::u16string(u"a\0b", 3)},
    {"lone surrogate", std::u16string(1, char16_t{0xD800})},
    {"chinese", u"修复黑屏"},
};

class HostileNameTest : public StandInStoreTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(HostileNameTest, StaysInsideTheStoreAndApartFromOtherNames) {
    const std::u16string& name = GetParam().name;
    const std::u16string key = std::u16string(kTestKey) + u"\\" + name;
    const RawValue value = StringValue(name);

    // The same name as a key and as a value, each beside a value of a plain name that must not be disturbed.
    ASSERT_TRUE(PutRawValue(kTestKey, u"plain", StringValue(u"plain")));
    ASSERT_TRUE(PutRawValue(kTestKey, name.c_str(), value));
    ASSERT_TRUE(PutRawValue(key.c_str(), name.c_str(), value));

    EXPECT_EQ(GetRawValue(kTestKey, name.c_str()), value);
    EXPECT_EQ(GetRawValue(key.c_str(), name.c_str()), value);
    EXPECT_EQ(GetRawValue(kTestKey, u"plain"), StringValue(u"plain"));
    for (const std::string& path : Everything()) {
        EXPECT_EQ(path.rfind("standin-registry", 0), 0u) << path << " is outside the store";
        EXPECT_EQ(path.find(".tmp-"), std::string::npos) << path << " is a temporary file left behind";
    }
}

INSTANTIATE_TEST_SUITE_P(Names, HostileNameTest, ::testing::ValuesIn(kHostileNames), CaseName<NameCase>);

TEST_F(StandInStoreTest, NamesThatLookAlikeStayApart) {
    // Each of these would collide under a careless encoding of the others.
    const std::u16string names[] = {u"a.b", u"a%002Eb", u"a/b", u"a\\b", u"a_b", u"a-b", u"ab", u""};
    for (const auto& name : names) {
        ASSERT_TRUE(PutRawValue(kTestKey, name.c_str(), StringValue(u"v:" + name)));
    }
    for (const auto& name : names) {
        EXPECT_EQ(GetRawValue(kTestKey, name.c_str()), StringValue(u"v:" + name));
    }
}

TEST_F(StandInStoreTest, NamesCompareWithoutRegardToCase) {
    ASSERT_TRUE(PutRawValue(u"Software\\Drovenal\\Lumarest", u"use_software_opengl", StringValue(u"true")));
    EXPECT_EQ(GetRawValue(u"SOFTWARE\\drovenal\\LUMAREST", u"USE_Software_OpenGL"), StringValue(u"true"));

    ASSERT_TRUE(PutRawValue(kTestKey, u"Äpfel", StringValue(u"1")));
    ASSERT_TRUE(PutRawValue(kTestKey, u"äPFEL", StringValue(u"2")));
    EXPECT_EQ(GetRawValue(kTestKey, u"ÄPFEL"), StringValue(u"2")) << "the second write replaces the first";
}

TEST_F(StandInStoreTest, BackslashesSeparateKeysButMayNotLeadThePath) {
    ASSERT_TRUE(PutRawValue(u"Software\\\\Drovenal\\", u"v", StringValue(u"x")));
    EXPECT_EQ(GetRawValue(u"Software\\Drovenal", u"v"), StringValue(u"x"));

    platform::UniqueKey key(platform::KeyCloser{&registry});
    EXPECT_EQ(registry.CreateKey(registry.CurrentUser(), u"\\Software", key.put()), kBadPathName);
    EXPECT_FALSE(key);
}

TEST_F(StandInStoreTest, OpenExistingOnlyFailsOnAMissingKey) {
    platform::UniqueKey key(platform::KeyCloser{&registry});
    EXPECT_EQ(registry.OpenKey(registry.CurrentUser(), u"Software\\Missing", key.put()), kFileNotFound);
    EXPECT_FALSE(key);
    EXPECT_FALSE(fs::exists(StoreRoot() / "k_SOFTWARE" / "k_MISSING"));
}

struct BytesCase {
    const char* what;
    std::uint32_t type;
    std::vector<unsigned char> bytes;
};
void PrintTo(const BytesCase& c, std::ostream* os) {
    *os << c.what;
}

class RoundTripTest : public StandInStoreTest, public ::testing::WithParamInterface<BytesCase> {};

TEST_P(RoundTripTest, KeepsTypeAndBytesExactly) {
    const RawValue value{GetParam().type, GetParam().bytes};
    ASSERT_TRUE(PutRawValue(kTestKey, u"v", value));
    EXPECT_EQ(GetRawValue(kTestKey, u"v"), value);
}

INSTANTIATE_TEST_SUITE_P(Values, RoundTripTest,
                         ::testing::Values(BytesCase{"no bytes", kString, {}},
                                           BytesCase{"one byte", kString, {'t'}},
                                           BytesCase{"three bytes", kString, {'t', 0, 'r'}},
                                           BytesCase{"embedded nuls", kBinary, {0, 0, 1, 0, 0}},
                                           BytesCase{"unknown type", 0x12345678u, {1, 2, 3}},
                                           BytesCase{"none type", kNone, {0xFF}}),
                         CaseName<BytesCase>);

TEST_F(StandInStoreTest, QueryReportsSizeAndRefusesTooSmallBuffers) {
    ASSERT_TRUE(PutRawValue(kTestKey, u"v", StringValue(std::u16string_view(u"true\0", 5))));
    platform::UniqueKey key(platform::KeyCloser{&registry});
    ASSERT_EQ(registry.OpenKey(registry.CurrentUser(), kTestKey, key.put()), kSuccess);

    std::uint32_t type = 0;
    std::uint32_t size = 0;
    EXPECT_EQ(registry.QueryValue(key.get(), u"v", &type, nullptr, &size), kSuccess);
    EXPECT_EQ(type, kString);
    EXPECT_EQ(size, 10u);

    unsigned char buffer[10] = {};
    size = 9;
    EXPECT_EQ(registry.QueryValue(key.get(), u"v", &type, buffer, &size), kMoreData);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(registry.QueryValue(key.get(), u"v", &type, buffer, nullptr), kInvalidParameter);
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
