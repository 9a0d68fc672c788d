// The stand-in store itself: what it keeps on disk and where. These cases are about files and folders, so
// they run only where the stand-in is the registry.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/standin/value_file.h"
#include "repair/black_screen_fix.h"
#include "tests/support/case_name.h"
#include "tests/support/raw_value.h"
#include "tests/support/recording_dialog.h"
#include "tests/support/scratch_store.h"
#include "tests/support/standin/store_files.h"

namespace {

namespace fs = std::filesystem;
using namespace platform::registry_status;
using namespace platform::registry_type;

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
    ASSERT_TRUE(PutRawValue(kEditorKey, kSwitchName, StringValue(u"true")));
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

TEST_F(StandInStoreTest, ConfigFolderReachedThroughTheUsersOwnLinkIsUsed) {
    const fs::path config = fs::path(store.home()) / "dotfiles" / "config";
    fs::create_directories(config);
    const fs::path link = fs::path(store.home()) / "config";
    fs::create_directory_symlink(config, link);
    ::setenv("XDG_CONFIG_HOME", link.c_str(), 1);

    ASSERT_TRUE(PutRawValue(kTestKey, u"v", StringValue(u"x")));
    EXPECT_TRUE(fs::is_directory(config / "standin-registry" / "HKEY_CURRENT_USER" / "k_SOFTWARE"));
}

// What another user owns is not this user's registry, and nothing is made in it.
struct ForeignFolderCase {
    const char* what;
    const char* folder;  // below the configuration folder, which is "" itself
    bool storeMadeFirst;
};
void PrintTo(const ForeignFolderCase& c, std::ostream* os) {
    *os << c.what;
}

class ForeignFolderTest : public StandInStoreTest, public ::testing::WithParamInterface<ForeignFolderCase> {};

TEST_P(ForeignFolderTest, IsAccessDenied) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can give a folder to another user";
    }
    constexpr uid_t kNobody = 65534;
    if (GetParam().storeMadeFirst) {
        ASSERT_TRUE(MakeKey(kTestKey));
    }
    ASSERT_EQ(::chown((fs::path(store.home()) / GetParam().folder).c_str(), kNobody, kNobody), 0);

    platform::UniqueKey key(platform::KeyCloser{&registry});
    EXPECT_EQ(registry.CreateKey(registry.CurrentUser(), u"Software\\Other", key.put()), kAccessDenied);
    EXPECT_FALSE(fs::exists(StoreRoot() / "k_SOFTWARE" / "k_OTHER"));
    EXPECT_EQ(fs::exists(StoreRoot()), GetParam().storeMadeFirst);
}

INSTANTIATE_TEST_SUITE_P(
    Owners, ForeignFolderTest,
    ::testing::Values(ForeignFolderCase{"configuration folder without a store", "", false},
                      ForeignFolderCase{"store folder", "standin-registry", true},
                      ForeignFolderCase{"root key folder", "standin-registry/HKEY_CURRENT_USER", true}),
    CaseName<ForeignFolderCase>);

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
    ASSERT_TRUE(PutRawValue(kEditorKey, kSwitchName, StringValue(u"true")));
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
    EXPECT_EQ(GetRawValue(kEditorKey, kSwitchName), TerminatedString(u"true"));
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
    // The PID in a name says nothing about its writer: a writer in another PID namespace or on another host
    // sharing the folder has a PID that may be free here, or another process's. Only the lock counts.
    const std::string running = std::to_string(::getppid());
    const std::string unused = "4194304";  // above the largest PID
    const fs::path abandoned[] = {folder / (".tmp-" + unused + "-1"), folder / (".tmp-" + running + "-1")};
    const fs::path live[] = {folder / (".tmp-" + unused + "-2"), folder / (".tmp-" + running + "-2")};
    for (const fs::path& file : {abandoned[0], abandoned[1], live[0], live[1]}) {
        std::ofstream(file) << "REGV half";
    }
    {
        const HeldLock writer0(live[0]);
        const HeldLock writer1(live[1]);

        EXPECT_EQ(GetRawValue(kTestKey, u"v"), StringValue(u"old")) << "a temporary file is never a value";
        ASSERT_TRUE(PutRawValue(kTestKey, u"v", StringValue(u"new")));
        for (const fs::path& file : abandoned) {
            EXPECT_FALSE(fs::exists(file)) << file;
        }
        for (const fs::path& file : live) {
            EXPECT_TRUE(fs::exists(file)) << file << " is a live writer's";
        }
        EXPECT_EQ(GetRawValue(kTestKey, u"v"), StringValue(u"new"));
    }
    ASSERT_TRUE(PutRawValue(kTestKey, u"v", StringValue(u"newer")));
    for (const fs::path& file : live) {
        EXPECT_FALSE(fs::exists(file)) << file << " was left when its writer ended";
    }
}

TEST_F(StandInStoreTest, OnlyPlainFilesAreTakenForAbandonedTemporaryFiles) {
    ASSERT_TRUE(PutRawValue(kTestKey, u"v", StringValue(u"old")));
    const fs::path fifo = StoreRoot() / "k_SOFTWARE" / "k_BLACKSCREENFIXTESTS" / ".tmp-4194304-1";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(PutRawValue(kTestKey, u"v", StringValue(u"new")));
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(fifo))) << "no writer makes one, so it is not the store's";
}

TEST_F(StandInStoreTest, EveryWriteThroughOneHandleRemovesAbandonedTemporaryFiles) {
    platform::UniqueKey key(platform::KeyCloser{&registry});
    ASSERT_EQ(registry.CreateKey(registry.CurrentUser(), kTestKey, key.put()), kSuccess);
    const fs::path folder = StoreRoot() / "k_SOFTWARE" / "k_BLACKSCREENFIXTESTS";
    for (int write = 1; write <= 3; ++write) {
        const fs::path abandoned = folder / (".tmp-4194304-" + std::to_string(write));
        std::ofstream(abandoned) << "REGV half";
        ASSERT_EQ(registry.SetValue(key.get(), u"v", kString, u"x", 4), kSuccess);
        EXPECT_FALSE(fs::exists(abandoned)) << "write " << write;
    }
}

// A value file whose header announces `announced` bytes, and which is as long as that (sparse: no disk used).
struct SizeCase {
    const char* what;
    std::uint64_t announced;
    platform::RegistryStatus status;
};
void PrintTo(const SizeCase& c, std::ostream* os) {
    *os << c.what;
}

class ValueSizeTest : public StandInStoreTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ValueSizeTest, AboveTheLimitIsACorruptValue) {
    ASSERT_TRUE(PutRawValue(kTestKey, u"v", StringValue(u"x")));
    const std::uint64_t announced = GetParam().announced;
    const fs::path file = StoreRoot() / "k_SOFTWARE" / "k_BLACKSCREENFIXTESTS" / "v_V";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << "REGV" << std::string("\1\0\0\0", 4);
        for (int shift = 0; shift < 32; shift += 8) {
            out << static_cast<char>((announced >> shift) & 0xFF);
        }
    }
    fs::resize_file(file, 12 + announced);

    platform::UniqueKey key(platform::KeyCloser{&registry});
    ASSERT_EQ(registry.OpenKey(registry.CurrentUser(), kTestKey, key.put()), kSuccess);
    std::uint32_t size = 0;
    EXPECT_EQ(registry.QueryValue(key.get(), u"v", nullptr, nullptr, &size), GetParam().status);
    if (GetParam().status == kSuccess) {
        EXPECT_EQ(size, announced);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ValueSizeTest,
                         ::testing::Values(SizeCase{"the limit", platform::standin::kMaxValueSize, kSuccess},
                                           SizeCase{"one byte more",
                                                    platform::standin::kMaxValueSize + std::uint64_t{1},
                                                    kRegistryCorrupt},
                                           SizeCase{"four GiB", 0xFFFFFFFF, kRegistryCorrupt}),
                         CaseName<SizeCase>);

// The same sizes written: the writer keeps exactly what the reader accepts, and refuses the rest.
class WriteSizeTest : public StandInStoreTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(WriteSizeTest, UpToTheLimitIsKeptAndAboveItTheOldValue) {
    ASSERT_TRUE(PutRawValue(kTestKey, u"v", StringValue(u"old")));
    platform::UniqueKey key(platform::KeyCloser{&registry});
    ASSERT_EQ(registry.OpenKey(registry.CurrentUser(), kTestKey, key.put()), kSuccess);
    const std::vector<unsigned char> data(GetParam().announced, 'x');
    EXPECT_EQ(
        registry.SetValue(key.get(), u"v", kBinary, data.data(), static_cast<std::uint32_t>(data.size())),
        GetParam().status);
    const RawValue expected = GetParam().status == kSuccess ? RawValue{kBinary, data} : StringValue(u"old");
    EXPECT_TRUE(GetRawValue(kTestKey, u"v") == expected) << "compared, not printed: the value is 64 MiB";
}

INSTANTIATE_TEST_SUITE_P(Sizes, WriteSizeTest,
                         ::testing::Values(SizeCase{"the limit", platform::standin::kMaxValueSize, kSuccess},
                                           SizeCase{"one byte more",
                                                    platform::standin::kMaxValueSize + std::uint64_t{1},
                                                    kInvalidParameter}),
                         CaseName<SizeCase>);

// Whatever umask the run inherits, what the store makes is user-only and stays writable by its user.
class UmaskTest : public StandInStoreTest, public ::testing::WithParamInterface<mode_t> {};

TEST_P(UmaskTest, StoreIsMadeExactlyUserOnly) {
    // cppcheck-suppress umaskCalled ; POSIX umask, not the obsolete one of the Windows C runtime
    const mode_t inherited = ::umask(GetParam());
    const bool written = PutRawValue(kTestKey, u"v", StringValue(u"x"));
    const mode_t left = ::umask(inherited);  // cppcheck-suppress umaskCalled
    ASSERT_TRUE(written);
    EXPECT_EQ(left, GetParam()) << "the store leaves the process's umask as it found it";
    for (const auto& entry : fs::recursive_directory_iterator(StoreRoot().parent_path())) {
        EXPECT_EQ(
            fs::status(entry.path()).permissions(),
            entry.is_directory() ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write)
            << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Umasks, UmaskTest,
                         ::testing::Values(mode_t{0}, mode_t{022}, mode_t{0277}, mode_t{0777}));

// The store's own two folders are never reached through a symbolic link (key folders refuse them as well).
class LinkedStoreFolderTest : public StandInStoreTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(LinkedStoreFolderTest, IsRefusedAndNothingIsWrittenThere) {
    const fs::path target = fs::path(store.home()) / "elsewhere";
    fs::create_directories(target);
    const fs::path link = fs::path(store.home()) / GetParam();
    fs::create_directories(link.parent_path());
    fs::create_directory_symlink(target, link);

    platform::UniqueKey key(platform::KeyCloser{&registry});
    EXPECT_EQ(registry.CreateKey(registry.CurrentUser(), kTestKey, key.put()), kRegistryCorrupt);
    EXPECT_TRUE(fs::is_empty(target));
}

INSTANTIATE_TEST_SUITE_P(Folders, LinkedStoreFolderTest,
                         ::testing::Values("standin-registry", "standin-registry/HKEY_CURRENT_USER"));

TEST_F(StandInStoreTest, KeyDeletedWhileOpenRefusesValuesAndSubKeys) {
    platform::UniqueKey key(platform::KeyCloser{&registry});
    ASSERT_EQ(registry.CreateKey(registry.CurrentUser(), kTestKey, key.put()), kSuccess);
    fs::remove_all(StoreRoot() / "k_SOFTWARE");
    EXPECT_EQ(registry.SetValue(key.get(), u"v", kString, u"x", 4), kKeyDeleted);
    std::uint32_t size = 0;
    EXPECT_EQ(registry.QueryValue(key.get(), u"v", nullptr, nullptr, &size), kKeyDeleted);
    platform::UniqueKey subKey(platform::KeyCloser{&registry});
    EXPECT_EQ(registry.OpenKey(key.get(), u"Sub", subKey.put()), kKeyDeleted);
    EXPECT_EQ(registry.CreateKey(key.get(), u"Sub", subKey.put()), kKeyDeleted);
}

// Every folder a call opens is closed again by the time the call, or the key it opened, is done.
TEST_F(StandInStoreTest, KeysOpenedAndClosedLeaveNoDescriptorOpen) {
    const auto openDescriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
    };
    ASSERT_TRUE(PutRawValue(kEditorKey, kSwitchName, StringValue(u"x")));
    const auto before = openDescriptors();
    ASSERT_TRUE(PutRawValue(kEditorKey, kSwitchName, StringValue(u"y")));
    EXPECT_EQ(GetRawValue(kEditorKey, kSwitchName), StringValue(u"y"));
    EXPECT_EQ(openDescriptors(), before);
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
