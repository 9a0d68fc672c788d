#include "platform/standin/posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform::standin {

using namespace registry_status;

namespace {

// While it lives, new files and folders get exactly the mode they are made with, whatever umask the run
// inherited. The umask is the process's, which one thread may take for a moment.
class ExactModes {
  public:
    // cppcheck-suppress umaskCalled ; POSIX umask, not the obsolete one of the Windows C runtime
    ExactModes() : inherited_(::umask(0)) {}
    ~ExactModes() {
        const int error = errno;
        ::umask(inherited_);  // cppcheck-suppress umaskCalled
        errno = error;
    }
    ExactModes(const ExactModes&) = delete;
    ExactModes& operator=(const ExactModes&) = delete;

  private:
    mode_t inherited_;
};

}  // namespace

void FdCloser::operator()(int fd) const {
    ::close(fd);
}

RegistryStatus StatusFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return kFileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return kAccessDenied;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:  // past the file-size limit (RLIMIT_FSIZE)
            return kDiskFull;
        case ENOMEM:
            return kOutOfMemory;
        case ENAMETOOLONG:
            return kFileNameTooLong;
        case ENOTDIR:  // a file stands where a key's folder belongs
        case EISDIR:   // a folder stands where a value's file belongs
        case ELOOP:    // a symbolic link: the store never makes one
            return kRegistryCorrupt;
        default:
            return kRegistryIoFailed;
    }
}

RegistryStatus StatusInFolder(int folder, int error) {
    return error == ENOENT && IsDeleted(folder) ? kKeyDeleted : StatusFromErrno(error);
}

bool IsDeleted(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && info.st_nlink == 0;
}

bool ReadAll(int fd, void* data, std::size_t size, off_t offset) {
    auto* bytes = static_cast<unsigned char*>(data);
    while (size > 0) {
        const ssize_t got = ::pread(fd, bytes, size, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (got == 0) {
                errno = EIO;  // the file is shorter than it said
            }
            return false;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
        offset += got;
    }
    return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool SyncToDisk(int fd) {
    return ::fsync(fd) == 0 || errno == EINVAL;
}

UniqueFd CreateUserFile(int folder, const char* name) {
    const ExactModes exact;
    return UniqueFd(::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
}

bool MakeUserFolder(int parent, const char* name) {
    {
        const ExactModes exact;
        if (::mkdirat(parent, name, 0700) != 0) {
            return false;
        }
    }
    // A descriptor open only to pass through cannot be flushed; one of its own can.
    const UniqueFd flushable(::openat(parent, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return flushable && SyncToDisk(flushable.get());
}

UniqueFd OpenForReading(int folder, const char* name) {
    constexpr int kFlags = O_RDONLY | O_NOCTTY | O_CLOEXEC;
    UniqueFd file(::openat(folder, name, kFlags | O_NOFOLLOW | O_NONBLOCK));
    if (file || errno != EWOULDBLOCK) {
        return file;
    }
    // A lease: its holder has just been asked to give it up, and only an open that blocks waits for that.
    // Blocking, a FIFO would wait for a writer for ever, and the name may be a FIFO's by now. So the file is
    // first held open as it is (O_PATH breaks no lease and waits for nothing) and, if it is plain, opened
    // again through that descriptor: the same file, whatever the name has become.
    const UniqueFd pinned(::openat(folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!pinned || ::fstat(pinned.get(), &info) != 0) {
        return file;
    }
    if (!S_ISREG(info.st_mode)) {
        return UniqueFd(::openat(folder, name, kFlags | O_NOFOLLOW | O_NONBLOCK));  // no lease was in the way
    }
    char path[32];
    (void)std::snprintf(path, sizeof path, "/proc/self/fd/%d", pinned.get());  // any descriptor fits
    return UniqueFd(::open(path, kFlags));
}

RegistryStatus OpenFolder(int parent, const char* name, bool create, UniqueFd& folder) {
    for (;;) {
        folder.reset(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (folder) {
            return kSuccess;
        }
        if (errno != ENOENT) {
            return StatusFromErrno(errno);
        }
        if (IsDeleted(parent)) {
            return kKeyDeleted;
        }
        if (!create) {
            return kFileNotFound;
        }
        // Another writer may make the same folder at the same moment; then it is simply opened.
        if (!MakeUserFolder(parent, name) && errno != EEXIST) {
            return errno == ENOENT ? kKeyDeleted : StatusFromErrno(errno);
        }
    }
}

}  // namespace platform::standin
