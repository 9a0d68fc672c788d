#pragma once

// Where the stand-in store keeps HKEY_CURRENT_USER: the folder standin-registry/HKEY_CURRENT_USER under the
// user's configuration folder ($XDG_CONFIG_HOME, else $HOME/.config, else .config in the home folder the user
// database names).

#include "platform/registry.h"
#include "platform/standin/posix_file.h"

namespace platform::standin {

// Opens the store's HKEY_CURRENT_USER folder, making what is missing (user-only). Fails with kAccessDenied
// when the store belongs to another user, and kRegistryCorrupt when one of its two folders is a symbolic
// link.
RegistryStatus OpenStoreRoot(UniqueFd& root);

}  // namespace platform::standin
