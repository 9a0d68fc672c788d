#include "platform/standin/store_root.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace platform::standin {
namespace {

using namespace registry_status;

// The configuration folder, or empty if there is none. Relative paths in XDG variables are to be ignored.
std::string ConfigFolder() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
        return config;
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return std::string(home) + "/.config";
    }
    if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir[0] == '/') {
        return std::string(user->pw_dir) + "/.config";
    }
    return {};
}

bool IsOurs(int folder) {
    struct stat info {};
    return ::fstat(folder, &info) == 0 && info.st_uid == ::geteuid();
}

// A missing folder is made only inside one that is this user's or root's. Made inside another user's folder,
// as root would with that user's environment (sudo -E), it would be a folder that user could not write.
bool MayMakeIn(int folder) {
    struct stat info {};
    return ::fstat(folder, &info) == 0 && (info.st_uid == ::geteuid() || info.st_uid == 0);
}

// Opens the absolute path `path`, making missing folders on the way. The user's own folders there may be
// symbolic links. Each folder is opened only to pass through (O_PATH), which needs no more than search
// permission: many hosts give others no more than that on the folder of home folders (mode 0711).
RegistryStatus OpenPath(const std::string& path, UniqueFd& folder) {
    constexpr int kPassThrough = O_PATH | O_DIRECTORY | O_CLOEXEC;
    folder.reset(::open("/", kPassThrough));
    if (!folder) {
        return StatusFromErrno(errno);
    }
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string name = path.substr(start, end - start);
        start = end + 1;
        if (name.empty()) {
            continue;
        }
        UniqueFd child(::openat(folder.get(), name.c_str(), kPassThrough));
        if (!child && errno == ENOENT) {
            if (!MayMakeIn(folder.get())) {
                return kAccessDenied;
            }
            if (!MakeUserFolder(folder.get(), name.c_str()) && errno != EEXIST) {
                return StatusFromErrno(errno);
            }
            child.reset(::openat(folder.get(), name.c_str(), kPassThrough));
        }
        if (!child) {
            return StatusFromErrno(errno);
        }
        folder = std::move(child);
    }
    return kSuccess;
}

}  // namespace

RegistryStatus OpenStoreRoot(UniqueFd& root) {
    const std::string config = ConfigFolder();
    if (config.empty()) {
        return kFileNotFound;
    }
    UniqueFd folder;
    if (const RegistryStatus status = OpenPath(config, folder); status != kSuccess) {
        return status;
    }
    // The store's own two folders are never reached through a symbolic link, and must be this user's: a store
    // of someone else's is not this user's registry, and what was written into it would be files and folders
    // its owner could no longer replace.
    for (const char* name : {"standin-registry", "HKEY_CURRENT_USER"}) {
        UniqueFd child;
        if (const RegistryStatus status = OpenFolder(folder.get(), name, MayMakeIn(folder.get()), child);
            status != kSuccess) {
            return status == kFileNotFound ? kAccessDenied : status;
        }
        if (!IsOurs(child.get())) {
            return kAccessDenied;
        }
        folder = std::move(child);
    }
    root = std::move(folder);
    return kSuccess;
}

}  // namespace platform::standin
