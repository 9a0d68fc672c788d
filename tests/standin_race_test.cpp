// The stand-in store at the moments where a write and another writer's cleanup can meet: between a temporary
// file's creation and its lock, between its flush and its rename, and between a cleaner's open of an
// abandoned file and its lock. No two processes can be stopped at such a moment on demand, so this program
// (and only this one) replaces flock and renameat: a test runs the other party's step just before the call,
// or makes the call fail as a file system without locks does.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry.h"
#include "platform/standin/posix_file.h"
#include "platform/standin/replace_file.h"
#include "tests/support/raw_value.h"
#include "tests/support/scratch_store.h"
#include "tests/support/standin/store_files.h"

namespace {

namespace fs = std::filesystem;

// What the replaced calls do. A step runs once, at the first call that matches, before the call itself.
struct Interleaving {
    std::string lockedPrefix;               // the name the next step waits for a lock on starts so
    std::function<void()> beforeLock;       // runs before that lock is taken
    std::function<void(int)> beforeRename;  // runs before the next rename, given the folder
    int lockError = 0;                      // when set, every lock fails so
};
Interleaving interleaving;

std::string FileName(int fd) {
    char path[PATH_MAX] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    return ::readlink(link.c_str(), path, sizeof path - 1) > 0 ? fs::path(path).filename().string() : "";
}

}  // namespace

extern "C" int flock(int fd, int operation) {
    if (interleaving.lockError != 0) {
        errno = interleaving.lockError;
        return -1;
    }
    if (interleaving.beforeLock && (operation & LOCK_EX) != 0 &&
        FileName(fd).rfind(interleaving.lockedPrefix, 0) == 0) {
        std::exchange(interleaving.beforeLock, nullptr)();
    }
    return static_cast<int>(::syscall(SYS_flock, fd, operation));
}

// The C library names the last parameter __new, which C++ cannot spell.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int renameat(int oldFolder, const char* oldName, int newFolder, const char* newName) {
    if (interleaving.beforeRename) {
        std::exchange(interleaving.beforeRename, nullptr)(oldFolder);
    }
    return static_cast<int>(::syscall(SYS_renameat, oldFolder, oldName, newFolder, newName));
}

namespace {

using namespace platform::registry_status;
using namespace platform::registry_type;

class RaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(PutRawValue(kTestKey, u"v", StringValue(u"old")));
        ASSERT_EQ(registry.OpenKey(registry.CurrentUser(), kTestKey, key.put()), kSuccess);
    }
    void TearDown() override { interleaving = {}; }

    fs::path Folder() const {
        return fs::path(store.home()) / "standin-registry" / "HKEY_CURRENT_USER" / "k_SOFTWARE" /
               "k_BLACKSCREENFIXTESTS";
    }
    platform::RegistryStatus WriteNew() { return registry.SetValue(key.get(), u"v", kString, u"new", 6); }

    // The other writer's cleanup, run in this process: a lock taken through a descriptor of its own meets the
    // writer's as another process's would.
    void CleanUp() const {
        const platform::standin::UniqueFd folder(
            ::open(Folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        platform::standin::RemoveAbandonedTemporaries(folder.get());
    }

    ScratchStore store;
    platform::Registry& registry = platform::SystemRegistry();
    platform::UniqueKey key{platform::KeyCloser{&registry}};
};

TEST_F(RaceTest, CleanupJustBeforeTheRenameFindsTheTemporaryFileStillLocked) {
    interleaving.beforeRename = [this](int) { CleanUp(); };
    EXPECT_EQ(WriteNew(), kSuccess);
    EXPECT_EQ(GetRawValue(kTestKey, u"v"), StringValue(u"new"));
    EXPECT_EQ(TemporaryFilesIn(store.home()), std::vector<std::string>{});
}

TEST_F(RaceTest, TemporaryFileRemovedBeforeItsLockIsGivenUpForANewOne) {
    interleaving.lockedPrefix = ".tmp-";
    interleaving.beforeLock = [this] { CleanUp(); };
    EXPECT_EQ(WriteNew(), kSuccess);
    EXPECT_FALSE(interleaving.beforeLock) << "the cleanup ran";
    EXPECT_EQ(GetRawValue(kTestKey, u"v"), StringValue(u"new"));
    EXPECT_EQ(TemporaryFilesIn(store.home()), std::vector<std::string>{});
}

TEST_F(RaceTest, NameTakenByALiveWriterWhileTheCleanerWaitsForItsLockIsLeftAlone) {
    const fs::path name = Folder() / ".tmp-4194304-1";
    std::ofstream(name) << "REGV abandoned";
    std::optional<HeldLock> liveWriter;
    // Once the cleaner holds the abandoned file open, another cleaner removes it and a writer of the same
    // name (its PID reused, or in another PID namespace) makes its own and locks it.
    interleaving.lockedPrefix = name.filename().string();
    // cppcheck-suppress danglingLifetime ; TearDown drops a step not taken before any other lock
    interleaving.beforeLock = [&] {
        fs::remove(name);
        std::ofstream(name) << "REGV live";
        liveWriter.emplace(name);
    };
    EXPECT_EQ(WriteNew(), kSuccess);
    EXPECT_FALSE(interleaving.beforeLock) << "the cleaner reached the file";
    EXPECT_TRUE(fs::exists(name)) << "the live writer's file was removed";
}

TEST_F(RaceTest, NameOfALiveWritersFileIsSkipped) {
    // The writer's names follow one another, so the next one is known; another writer has taken it.
    std::string lastName;
    interleaving.lockedPrefix = ".tmp-";
    // cppcheck-suppress danglingLifetime ; TearDown drops a step not taken before any other lock
    interleaving.beforeLock = [&] { lastName = TemporaryFilesIn(store.home()).at(0); };
    ASSERT_EQ(WriteNew(), kSuccess);
    const std::string prefix = lastName.substr(0, lastName.rfind('-') + 1);
    const fs::path taken = prefix + std::to_string(std::stoul(lastName.substr(prefix.size())) + 1);
    std::ofstream(taken) << "REGV live";
    const HeldLock liveWriter(taken);

    EXPECT_EQ(registry.SetValue(key.get(), u"v", kString, u"newer", 10), kSuccess);
    EXPECT_EQ(GetRawValue(kTestKey, u"v"), StringValue(u"newer"));
    EXPECT_TRUE(fs::exists(taken));
}

TEST_F(RaceTest, WithoutLocksWritesGoAheadAndTemporaryFilesAreLeftAlone) {
    const fs::path unknown = Folder() / ".tmp-4194304-1";
    std::ofstream(unknown) << "REGV half";
    interleaving.lockError = ENOLCK;
    EXPECT_EQ(WriteNew(), kSuccess);
    interleaving.lockError = 0;
    EXPECT_EQ(GetRawValue(kTestKey, u"v"), StringValue(u"new"));
    EXPECT_EQ(TemporaryFilesIn(store.home()), std::vector<std::string>{unknown.string()})
        << "without locks no one can tell an abandoned file from a live writer's";
}

}  // namespace
