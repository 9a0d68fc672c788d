// The stand-in registry: HKEY_CURRENT_USER kept as a tree of folders and files (store_root.h). A key is a
// folder and a value a file, named as key_name.h describes; each value file holds a small header and the
// value's bytes (value_file.h) and is replaced whole (replace_file.h), so a crash leaves either the old value
// or the new one. Folders and files are user-only.

#include <fcntl.h>

#include <cerrno>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/registry.h"
#include "platform/standin/key_name.h"
#include "platform/standin/posix_file.h"
#include "platform/standin/replace_file.h"
#include "platform/standin/store_root.h"
#include "platform/standin/value_file.h"

namespace platform {

// An open key of the stand-in: its folder, held open so the key stays the same one however the path changes.
struct OpaqueRegistryKey {
    standin::UniqueFd folder;
};

namespace standin {
namespace {

using namespace registry_status;

std::u16string_view View(const char16_t* text) {
    return text != nullptr ? std::u16string_view(text) : u"";
}

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
        UniqueFd owned;
        int folder = -1;
        if (const RegistryStatus status = Folder(key, owned, folder); status != kSuccess) {
            return status;
        }
        const std::string fileName = ValueFileName(View(name));
        if (fileName.empty()) {
            return kFileNotFound;  // no value can have such a name
        }
        // Whatever is not a plain file is refused once open.
        const UniqueFd file = OpenForReading(folder, fileName.c_str());
        if (!file) {
            return StatusInFolder(folder, errno);
        }
        ValueHeader header;
        if (const RegistryStatus status = ReadValueHeader(file.get(), header); status != kSuccess) {
            return status;
        }
        if (type != nullptr) {
            *type = header.type;
        }
        if (data == nullptr) {
            if (size != nullptr) {
                *size = header.size;
            }
            return kSuccess;
        }
        const std::uint32_t room = *size;
        *size = header.size;
        if (room < header.size) {
            return kMoreData;
        }
        return ReadAll(file.get(), data, header.size, kValueHeaderSize) ? kSuccess : StatusFromErrno(errno);
    }

    RegistryStatus SetValue(KeyHandle key, const char16_t* name, std::uint32_t type, const void* data,
                            std::uint32_t size) override {
        if ((data == nullptr && size != 0) || size > kMaxValueSize) {
            return kInvalidParameter;  // the store keeps no value it would refuse to read back
        }
        UniqueFd owned;
        int folder = -1;
        if (const RegistryStatus status = Folder(key, owned, folder); status != kSuccess) {
            return status;
        }
        const std::string fileName = ValueFileName(View(name));
        if (fileName.empty()) {
            return kFileNameTooLong;
        }
        const ValueHeaderBytes header = EncodeValueHeader({type, size});
        return ReplaceFile(folder, fileName.c_str(), {{header.data(), header.size()}, {data, size}});
    }

    RegistryStatus CloseKey(KeyHandle key) override {
        if (key == &currentUser_) {
            return kSuccess;  // a predefined root is never really closed
        }
        if (openKeys_.erase(key) == 0) {
            return kInvalidHandle;
        }
        delete key;
        return kSuccess;
    }

  private:
    // The folder of an open key. The root is opened afresh each time, so that it follows the environment.
    RegistryStatus Folder(KeyHandle key, UniqueFd& owned, int& folder) {
        if (key == &currentUser_) {
            const RegistryStatus status = OpenStoreRoot(owned);
            folder = owned.get();
            return status;
        }
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
        if (!SplitKeyPath(View(subKey), parts)) {
            return kBadPathName;
        }
        UniqueFd owned;
        int parent = -1;
        if (const RegistryStatus status = Folder(root, owned, parent); status != kSuccess) {
            return status;
        }
        // Even an empty path gives a handle of its own, to the root key itself.
        UniqueFd folder(::fcntl(parent, F_DUPFD_CLOEXEC, 0));
        if (!folder) {
            return StatusFromErrno(errno);
        }
        for (const std::u16string_view part : parts) {
            const std::string fileName = KeyFolderName(part);
            if (fileName.empty()) {
                return kFileNameTooLong;
            }
            UniqueFd child;
            if (const RegistryStatus status = OpenFolder(folder.get(), fileName.c_str(), create, child);
                status != kSuccess) {
                return status;
            }
            folder = std::move(child);
        }
        *result = new (std::nothrow) OpaqueRegistryKey{std::move(folder)};
        if (*result == nullptr) {
            return kOutOfMemory;
        }
        openKeys_.insert(*result);
        return kSuccess;
    }

    OpaqueRegistryKey currentUser_;
    std::unordered_set<KeyHandle> openKeys_;  // every handle handed out and not yet closed
};

StandInRegistry systemRegistry;

}  // namespace
}  // namespace standin

Registry& SystemRegistry() {
    return standin::systemRegistry;
}

}  // namespace platform
