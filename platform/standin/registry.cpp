// The stand-in registry: HKEY_CURRENT_USER kept as a tree of folders and files under the user's configuration
// folder ($XDG_CONFIG_HOME, else ~/.config), in standin-registry/HKEY_CURRENT_USER.
//
// A key is a folder "k_NAME", a value a file "v_NAME" (the default value, whose name is empty, is "v_"). NAME
// is the key or value name folded to upper case, since the registry compares names case-insensitively, with
// every code unit other than A-Z, 0-9, '_' and '-' written as %XXXX (four hex digits). No name can therefore
// spell
// "..", a separator or a temporary file's name, and two names meet in one file exactly when the registry
// would take them for the same name. Each value file is written whole to a temporary file, flushed to disk,
// and renamed over the old one, so a crash leaves either the old value or the new one. Folders and files are
// user-only.

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/registry.h"
#include "platform/standin/value_file.h"

namespace platform {

namespace standin {
namespace {

using namespace registry_status;

// A file descriptor, closed when it goes out of scope. -1 holds nothing.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

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

// A folder that was removed while open has no links left: its key was deleted under us.
bool IsDeleted(int folder) {
    struct stat info {};
    return ::fstat(folder, &info) == 0 && info.st_nlink == 0;
}

char16_t FoldCase(char16_t unit) {
    if (unit >= u'a' && unit <= u'z') {
        return static_cast<char16_t>(unit - u'a' + u'A');
    }
    if (unit < 0x80 || (unit >= 0xD800 && unit <= 0xDFFF)) {
        return unit;  // ASCII is done; surrogate halves have no case
    }
    static const locale_t unicode = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    if (unicode == locale_t{}) {
        return unit;
    }
    const wint_t upper = ::towupper_l(unit, unicode);
    return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
}

// The file name for a key ('k') or value ('v') name; empty if it would not fit in a file name.
std::string EncodeName(char kind, std::u16string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    constexpr std::size_t kMaxFileName = 255;
    std::string encoded{kind, '_'};
    for (const char16_t raw : name) {
        const char16_t unit = FoldCase(raw);
        if ((unit >= u'A' && unit <= u'Z') || (unit >= u'0' && unit <= u'9') || unit == u'_' ||
            unit == u'-') {
            encoded += static_cast<char>(unit);
        } else {
            encoded += '%';
            for (int shift = 12; shift >= 0; shift -= 4) {
                encoded += kHex[(unit >> shift) & 0xF];
            }
        }
        if (encoded.size() > kMaxFileName) {
            return {};
        }
    }
    return encoded;
}

std::u16string_view View(const char16_t* text) {
    return text != nullptr ? std::u16string_view(text) : u"";
}

// Splits a sub-key path at its backslashes. Runs of backslashes count as one and a trailing one is ignored,
// but a path may not start with one. Returns false for a path the registry would refuse.
bool SplitPath(std::u16string_view path, std::vector<std::u16string_view>& parts) {
    if (!path.empty() && path.front() == u'\\') {
        return false;
    }
    while (!path.empty()) {
        const std::size_t end = path.find(u'\\');
        if (end != 0) {
            parts.push_back(path.substr(0, end));
        }
        path.remove_prefix(end == std::u16string_view::npos ? path.size() : end + 1);
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

// A writer killed between making its temporary file and renaming it leaves the file behind. The next write in
// the same folder removes those whose writing process no longer runs; live writers' files are left alone.
void RemoveAbandonedTemporaries(int folder) {
    DIR* const entries = ::fdopendir(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (entries == nullptr) {
        return;
    }
    constexpr std::string_view kPrefix = ".tmp-";
    while (const dirent* entry = ::readdir(entries)) {
        const std::string_view name = entry->d_name;
        if (name.substr(0, kPrefix.size()) != kPrefix) {
            continue;
        }
        char* end = nullptr;
        const long writer = std::strtol(entry->d_name + kPrefix.size(), &end, 10);
        if (*end == '-' && writer > 0 && writer != ::getpid() && ::kill(static_cast<pid_t>(writer), 0) != 0 &&
            errno == ESRCH) {
            ::unlinkat(folder, entry->d_name, 0);
        }
    }
    ::closedir(entries);
}

// The folder that holds the store's HKEY_CURRENT_USER, made (user-only) if it is missing.
RegistryStatus OpenStoreRoot(Fd& root) {
    std::string base;
    // Relative paths in XDG variables are to be ignored.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
        base = config;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.config";
    } else if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir[0] == '/') {
        base = std::string(user->pw_dir) + "/.config";
    } else {
        return kFileNotFound;
    }
    for (const char* part : {"standin-registry", "HKEY_CURRENT_USER"}) {
        base += '/';
        base += part;
    }
    // Make each missing folder on the way; the user's own folders above the store may be symbolic links.
    for (std::size_t slash = base.find('/', 1); slash != std::string::npos;
         slash = base.find('/', slash + 1)) {
        ::mkdir(base.substr(0, slash).c_str(), 0700);
    }
    if (::mkdir(base.c_str(), 0700) != 0 && errno != EEXIST) {
        return StatusFromErrno(errno);
    }
    root.reset(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return root.valid() ? kSuccess : StatusFromErrno(errno);
}

// Opens the folder of the key `fileName` inside `parent`; with `create`, makes it first if it is missing.
RegistryStatus OpenKeyFolder(int parent, const std::string& fileName, bool create, Fd& folder) {
    for (;;) {
        folder.reset(::openat(parent, fileName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (folder.valid()) {
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
        if (::mkdirat(parent, fileName.c_str(), 0700) != 0 && errno != EEXIST) {
            return errno == ENOENT ? kKeyDeleted : StatusFromErrno(errno);
        }
        ::fsync(parent);  // the new key's name is on disk before anything is written into it
    }
}

}  // namespace
}  // namespace standin

// An open key of the stand-in: its folder, held open so the key stays the same one however the path changes.
struct OpaqueRegistryKey {
    standin::Fd folder;
};

namespace standin {
namespace {

class StandInRegistry final : public Registry {
  public:
    KeyHandle CurrentUser() override { return &currentUser_; }

    RegistryStatus CreateKey(KeyHandle root, const char16_t* subKey, KeyHandle* result) override {
        return Open(root, subKey, /*create=*/true, result);
    }

    RegistryStatus OpenKey(KeyHandle root, const char16_t* subKey, KeyHandle* result) override {
        return Open(root, subKey, /*create=*/false, result);
    }

    RegistryStatus QueryValue(KeyHandle key, const char16_t* name, std::uint32_t* type, void* data,
                              std::uint32_t* size) override {
        if (data != nullptr && size == nullptr) {
            return kInvalidParameter;
        }
        Fd owned;
        int folder = -1;
        if (const RegistryStatus status = Folder(key, owned, folder); status != kSuccess) {
            return status;
        }
        const std::string fileName = EncodeName('v', View(name));
        if (fileName.empty()) {
            return kFileNotFound;  // no value can have such a name
        }
        const Fd file(::openat(folder, fileName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!file.valid()) {
            return errno == ENOENT && IsDeleted(folder) ? kKeyDeleted : StatusFromErrno(errno);
        }
        struct stat info {};
        if (::fstat(file.get(), &info) != 0) {
            return StatusFromErrno(errno);
        }
        if (!S_ISREG(info.st_mode) || info.st_size < static_cast<off_t>(kValueHeaderSize)) {
            return kRegistryCorrupt;
        }
        ValueHeaderBytes headerBytes{};
        if (!ReadAll(file.get(), headerBytes.data(), headerBytes.size(), 0)) {
            return StatusFromErrno(errno);
        }
        const auto header = DecodeValueHeader(headerBytes, static_cast<std::uint64_t>(info.st_size));
        if (!header) {
            return kRegistryCorrupt;
        }
        if (type != nullptr) {
            *type = header->type;
        }
        if (data == nullptr) {
            if (size != nullptr) {
                *size = header->size;
            }
            return kSuccess;
        }
        const std::uint32_t room = *size;
        *size = header->size;
        if (room < header->size) {
            return kMoreData;
        }
        return ReadAll(file.get(), data, header->size, kValueHeaderSize) ? kSuccess : StatusFromErrno(errno);
    }

    RegistryStatus SetValue(KeyHandle key, const char16_t* name, std::uint32_t type, const void* data,
                            std::uint32_t size) override {
        if (data == nullptr && size != 0) {
            return kInvalidParameter;
        }
        Fd owned;
        int folder = -1;
        if (const RegistryStatus status = Folder(key, owned, folder); status != kSuccess) {
            return status;
        }
        const std::string fileName = EncodeName('v', View(name));
        if (fileName.empty()) {
            return kFileNameTooLong;
        }
        std::string temporary;
        Fd file;
        for (int attempt = 0; !file.valid() && attempt < 100; ++attempt) {
            temporary = ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++temporaryCounter_);
            file.reset(::openat(folder, temporary.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!file.valid() && errno != EEXIST) {
                return errno == ENOENT && IsDeleted(folder) ? kKeyDeleted : StatusFromErrno(errno);
            }
        }
        if (!file.valid()) {
            return kRegistryIoFailed;
        }
        const ValueHeaderBytes header = EncodeValueHeader({type, size});
        const bool written = WriteAll(file.get(), header.data(), header.size()) &&
                             WriteAll(file.get(), data, size) && ::fsync(file.get()) == 0;
        const int writeError = errno;
        file.reset();
        if (!written || ::renameat(folder, temporary.c_str(), folder, fileName.c_str()) != 0) {
            const RegistryStatus status = StatusFromErrno(written ? errno : writeError);
            ::unlinkat(folder, temporary.c_str(), 0);
            return status;
        }
        ::fsync(folder);  // the rename itself survives a crash
        RemoveAbandonedTemporaries(folder);
        return kSuccess;
    }

    RegistryStatus CloseKey(KeyHandle key) override {
        if (key == &currentUser_) {
            return kSuccess;  // a predefined root is never really closed
        }
        const std::lock_guard lock(mutex_);
        if (openKeys_.erase(key) == 0) {
            return kInvalidHandle;
        }
        delete key;
        return kSuccess;
    }

  private:
    // The folder of an open key. The root is opened afresh each time, so that it follows the environment.
    RegistryStatus Folder(KeyHandle key, Fd& owned, int& folder) {
        if (key == &currentUser_) {
            const RegistryStatus status = OpenStoreRoot(owned);
            folder = owned.get();
            return status;
        }
        const std::lock_guard lock(mutex_);
        if (openKeys_.count(key) == 0) {
            return kInvalidHandle;
        }
        folder = key->folder.get();
        return kSuccess;
    }

    RegistryStatus Open(KeyHandle root, const char16_t* subKey, bool create, KeyHandle* result) {
        if (result == nullptr) {
            return kInvalidParameter;
        }
        *result = nullptr;
        std::vector<std::u16string_view> parts;
        if (!SplitPath(View(subKey), parts)) {
            return kBadPathName;
        }
        Fd owned;
        int parent = -1;
        if (const RegistryStatus status = Folder(root, owned, parent); status != kSuccess) {
            return status;
        }
        // Even an empty path gives a handle of its own, to the root key itself.
        Fd folder(::fcntl(parent, F_DUPFD_CLOEXEC, 0));
        if (!folder.valid()) {
            return StatusFromErrno(errno);
        }
        for (const std::u16string_view part : parts) {
            const std::string fileName = EncodeName('k', part);
            if (fileName.empty()) {
                return kFileNameTooLong;
            }
            Fd child;
            if (const RegistryStatus status = OpenKeyFolder(folder.get(), fileName, create, child);
                status != kSuccess) {
                return status;
            }
            folder = std::move(child);
        }
        *result = new (std::nothrow) OpaqueRegistryKey{std::move(folder)};
        if (*result == nullptr) {
            return kOutOfMemory;
        }
        const std::lock_guard lock(mutex_);
        openKeys_.insert(*result);
        return kSuccess;
    }

    OpaqueRegistryKey currentUser_;
    std::mutex mutex_;
    std::unordered_set<KeyHandle> openKeys_;  // every handle handed out and not yet closed
    unsigned long temporaryCounter_ = 0;
};

// A namespace-scope object, not a function-local static: it needs no thread-safe guard on first use.
StandInRegistry systemRegistry;

}  // namespace
}  // namespace standin

Registry& SystemRegistry() {
    return standin::systemRegistry;
}

}  // namespace platform
