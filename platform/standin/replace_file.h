#pragma once

// Replacing a file whole, as the stand-in store writes every value: the new contents go to a temporary file
// ".tmp-PID-N" in the same folder, are flushed to disk and renamed over the old file, and the rename is
// flushed too. A crash leaves the old file or the new one, never a mix.
//
// The writer holds a lock (flock) on its temporary file until the rename. A writer killed before the rename
// leaves its file behind; each completed replacement removes the temporary files in its folder whose lock it
// can take. A lock ends with its holder, in whatever PID namespace or on whatever host that runs, so a live
// writer's file is never taken for abandoned. (Where the file system has no locks at all, no one can take a
// lock, and temporary files are left alone.)

#include <cstddef>
#include <initializer_list>

#include "platform/registry.h"

namespace platform::standin {

struct Bytes {
    const void* data;
    std::size_t size;
};

// Replaces (or makes) the file `name` in `folder` with the concatenated `contents`, user-only. On failure
// the old file is as it was, unless only the final flush of the folder failed.
RegistryStatus ReplaceFile(int folder, const char* name, std::initializer_list<Bytes> contents);

// Removes the temporary files in `folder` that no live writer holds.
void RemoveAbandonedTemporaries(int folder);

}  // namespace platform::standin
