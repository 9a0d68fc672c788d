// The stand-in store at the moments it flushes to disk. No real disk fails a flush on demand, so this program
// (and only this one) replaces fsync: each call is watched, and made to fail as a test asks.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "repair/black_screen_fix.h"
#include "tests/support/case_name.h"
#include "tests/support/raw_value.h"
#include "tests/support/recording_dialog.h"
#include "tests/support/scratch_store.h"
#include "tests/support/standin/store_files.h"

namespace {

enum class Failing { Nothing, Files, Folders, Everything };

// What the replaced fsync does, and what it saw of the plain files it flushed.
struct SyncFault {
    Failing failing = Failing::Nothing;
    int error = EIO;
    struct FileSeen {
        std::string name;
        bool locked;  // another open of the file could not take its lock
    };
    std::vector<FileSeen> files;
};
SyncFault syncFault;

SyncFault::FileSeen Look(int fd) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char path[PATH_MAX] = {};
    const ssize_t length = ::readlink(link.c_str(), path, sizeof path - 1);
    const int other = ::open(link.c_str(), O_RDONLY | O_CLOEXEC);
    const bool locked = other >= 0 && ::flock(other, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (other >= 0) {
        ::close(other);
    }
    return {length > 0 ? std::filesystem::path(path).filename().string() : "", locked};
}

}  // namespace

extern "C" int fsync(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) == 0) {
        const bool folder = S_ISDIR(info.st_mode);
        if (!folder) {
            syncFault.files.push_back(Look(fd));
        }
        const Failing failing = syncFault.failing;
        if (failing == Failing::Everything || (failing == Failing::Files && !folder) ||
            (failing == Failing::Folders && folder)) {
            errno = syncFault.error;
            return -1;
        }
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace {

using namespace platform::registry_status;
using namespace platform::registry_type;

class SyncTest : public ::testing::Test {
  protected:
    void TearDown() override { syncFault = {}; }

    std::vector<std::string> Leftovers() const { return TemporaryFilesIn(store.home()); }

    ScratchStore store;
    platform::Registry& registry = platform::SystemRegistry();
};

TEST_F(SyncTest, WriterHoldsTheLockOfItsTemporaryFileWhileFlushingIt) {
    ASSERT_TRUE(PutRawValue(kTestKey, u"v", StringValue(u"x")));
    ASSERT_EQ(syncFault.files.size(), 1u);
    EXPECT_EQ(syncFault.files[0].name.rfind(".tmp-", 0), 0u) << syncFault.files[0].name;
    EXPECT_TRUE(syncFault.files[0].locked);
}

struct FlushCase {
    const char* what;
    Failing failing;
    int error;
    platform::RegistryStatus status;
    const char16_t* after;  // the value stored afterwards
};
void PrintTo(const FlushCase& c, std::ostream* os) {
    *os << c.what;
}

class FailedFlushTest : public SyncTest, public ::testing::WithParamInterface<FlushCase> {};

TEST_P(FailedFlushTest, IsAFailedWrite) {
    const FlushCase& c = GetParam();
    ASSERT_TRUE(PutRawValue(kTestKey, u"v", StringValue(u"old")));
    platform::UniqueKey key(platform::KeyCloser{&registry});
    ASSERT_EQ(registry.OpenKey(registry.CurrentUser(), kTestKey, key.put()), kSuccess);

    syncFault.failing = c.failing;
    syncFault.error = c.error;
    EXPECT_EQ(registry.SetValue(key.get(), u"v", kString, u"new", 6), c.status);
    syncFault.failing = Failing::Nothing;

    EXPECT_EQ(GetRawValue(kTestKey, u"v"), StringValue(c.after));
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Flushes, FailedFlushTest,
    ::testing::Values(FlushCase{"file, input output error", Failing::Files, EIO, kRegistryIoFailed, u"old"},
                      FlushCase{"file, disk full", Failing::Files, ENOSPC, kDiskFull, u"old"},
                      // The rename is done and cannot be taken back; the write is reported as not durable.
                      FlushCase{"folder after the rename", Failing::Folders, EIO, kRegistryIoFailed, u"new"},
                      // A file system that cannot flush at all has nothing more durable to give.
                      FlushCase{"file system without flush", Failing::Everything, EINVAL, kSuccess, u"new"}),
    CaseName<FlushCase>);

TEST_F(SyncTest, NewKeyWhoseNameCannotBeFlushedFailsToOpen) {
    syncFault.failing = Failing::Folders;
    platform::UniqueKey key(platform::KeyCloser{&registry});
    EXPECT_EQ(registry.CreateKey(registry.CurrentUser(), kTestKey, key.put()), kRegistryIoFailed);
    EXPECT_FALSE(key);
}

TEST_F(SyncTest, RepairWhoseWriteCannotBeFlushedShowsNothing) {
    ASSERT_TRUE(PutRawValue(kEditorKey, kSwitchName, TerminatedString(u"false")));
    syncFault.failing = Failing::Files;
    RecordingDialog dialog;
    RunBlackScreenFix(registry, dialog);
    syncFault.failing = Failing::Nothing;

    EXPECT_TRUE(dialog.shown.empty());
    EXPECT_EQ(GetRawValue(kEditorKey, kSwitchName), TerminatedString(u"false"));
}

}  // namespace
