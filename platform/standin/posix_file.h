#pragma once

// Small POSIX file helpers for the stand-in store. Those that return a RegistryStatus report failure as the
// registry would; the others return false and leave errno to say why.

#include <sys/types.h>

#include <cstddef>

#include "platform/registry.h"
#include "platform/unique_handle.h"

namespace platform::standin {

struct FdCloser {
    void operator()(int fd) const;
};

// A file descriptor, closed when it goes out of scope. -1 holds nothing.
using UniqueFd = UniqueHandle<int, FdCloser, -1>;

// The registry's status for an errno value.
RegistryStatus StatusFromErrno(int error);

// The status for `error` from a call made inside `folder`: a name missing from a folder that was removed
// while open means its key was deleted under us.
RegistryStatus StatusInFolder(int folder, int error);

// True for an open file or folder that no longer has a name.
bool IsDeleted(int fd);

// Reads exactly `size` bytes at `offset`; a file that ends before them fails with EIO.
bool ReadAll(int fd, void* data, std::size_t size, off_t offset);

bool WriteAll(int fd, const void* data, std::size_t size);

// Flushes `fd` to disk. A file system that cannot sync at all (EINVAL) has nothing more durable to give, so
// that counts as done.
bool SyncToDisk(int fd);

// Make a new file (O_EXCL, open for writing) or folder that is exactly user-only whatever the umask: under a
// strict umask (0277) a folder would be made read-only to its owner, and every later write into it would
// fail. A new folder's name is synced to disk before it is used; its `parent` may be open only to pass
// through (O_PATH). On failure, errno says why.
UniqueFd CreateUserFile(int folder, const char* name);
bool MakeUserFolder(int parent, const char* name);

// Opens the file `name` inside `folder` for reading, never through a symbolic link and never as a
// controlling terminal. A FIFO is opened without waiting for a writer; a plain file whose lease another
// process holds (F_SETLEASE, as a file server takes) is opened once the holder has given the lease up.
// Invalid on failure, with errno saying why.
UniqueFd OpenForReading(int folder, const char* name);

// Opens the folder `name` inside `parent`, never through a symbolic link; with `create`, makes it first if
// it is missing.
RegistryStatus OpenFolder(int parent, const char* name, bool create, UniqueFd& folder);

}  // namespace platform::standin
