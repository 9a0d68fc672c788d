#include "platform/standin/replace_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "platform/standin/posix_file.h"

namespace platform::standin {
namespace {

using namespace registry_status;

constexpr std::string_view kTemporaryPrefix = ".tmp-";
unsigned long temporaryCounter = 0;  // with the PID, names this process's temporary files

struct DirCloser {
    void operator()(DIR* entries) const { ::closedir(entries); }
};
using UniqueDir = UniqueHandle<DIR*, DirCloser>;

// Makes a new temporary file in `folder` and takes its lock.
RegistryStatus CreateLockedTemporary(int folder, std::string& name, UniqueFd& file) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = std::string(kTemporaryPrefix) + std::to_string(::getpid()) + "-" +
               std::to_string(++temporaryCounter);
        file = CreateUserFile(folder, name.c_str());
        if (!file) {
            if (errno == EEXIST) {
                continue;
            }
            return StatusInFolder(folder, errno);
        }
        // Until its lock is taken, a new file looks abandoned: a cleaner may lock it, remove it and let go.
        // Then it is lost, and another name is tried.
        if (::flock(file.get(), LOCK_EX | LOCK_NB) == 0) {
            if (!IsDeleted(file.get())) {
                return kSuccess;
            }
        } else if (errno != EWOULDBLOCK) {
            return kSuccess;  // no locks on this file system: no cleaner can take this file's lock either
        }
    }
    return kRegistryIoFailed;
}

// Removes the temporary file `name` if its writer is gone, which is exactly when its lock is free. Before it
// goes, the name is checked to be still that file's.
void RemoveIfAbandoned(int folder, const char* name) {
    const UniqueFd file = OpenForReading(folder, name);
    struct stat opened {};
    struct stat named {};
    if (file && ::flock(file.get(), LOCK_EX | LOCK_NB) == 0 && ::fstat(file.get(), &opened) == 0 &&
        S_ISREG(opened.st_mode) && ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
        ::unlinkat(folder, name, 0);
    }
}

}  // namespace

RegistryStatus ReplaceFile(int folder, const char* name, std::initializer_list<Bytes> contents) {
    std::string temporary;
    UniqueFd file;
    if (const RegistryStatus status = CreateLockedTemporary(folder, temporary, file); status != kSuccess) {
        return status;
    }
    bool written = true;
    for (const Bytes& piece : contents) {
        written = written && WriteAll(file.get(), piece.data, piece.size);
    }
    // The lock is held through the rename: until then the file must not look abandoned.
    if (!written || !SyncToDisk(file.get()) || ::renameat(folder, temporary.c_str(), folder, name) != 0) {
        const RegistryStatus status = StatusFromErrno(errno);
        ::unlinkat(folder, temporary.c_str(), 0);
        return status;
    }
    file.reset();
    if (!SyncToDisk(folder)) {
        return StatusFromErrno(errno);  // the new file is in place, but not surely on disk
    }
    RemoveAbandonedTemporaries(folder);
    return kSuccess;
}

void RemoveAbandonedTemporaries(int folder) {
    // A descriptor of its own, not a duplicate of `folder`: a duplicate shares the read position, which the
    // previous pass left at the end, and a second write through the same key would find nothing.
    UniqueFd listing(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing) {
        return;
    }
    const UniqueDir entries(::fdopendir(listing.get()));
    if (!entries) {
        return;
    }
    listing.release();  // closed with `entries`
    while (const dirent* entry = ::readdir(entries.get())) {
        if (std::string_view(entry->d_name).substr(0, kTemporaryPrefix.size()) == kTemporaryPrefix) {
            RemoveIfAbandoned(folder, entry->d_name);
        }
    }
}

}  // namespace platform::standin
