#include "tests/support/scratch_store.h"

#include <windows.h>

#include <stdexcept>
#include <string>

// While a test runs, HKEY_CURRENT_USER in this process is a fresh key of its own below the user's real one,
// Software\BlackScreenFixTests\Scratch\<process id>: whatever the test and the code under test write or
// delete under HKEY_CURRENT_USER (the editor's Software\Drovenal included) stays inside it. So the suite can
// run on a real Windows machine without touching the user's settings, and test processes that run side by
// side never share a key.

namespace {

std::wstring ScratchPath() {
    return L"Software\\BlackScreenFixTests\\Scratch\\" + std::to_wstring(::GetCurrentProcessId());
}

// Back to the user's own HKEY_CURRENT_USER, then the scratch key and everything in it deleted.
void RemoveScratchKey(const std::wstring& path) {
    ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
}

}  // namespace

ScratchStore::ScratchStore() {
    const std::wstring path = ScratchPath();
    RemoveScratchKey(path);  // left over by an earlier process that had the same id and was killed
    HKEY scratch = nullptr;
    LSTATUS status = ::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_ALL_ACCESS, nullptr, &scratch, nullptr);
    if (status == ERROR_SUCCESS) {
        // The override keeps a handle of its own.
        status = ::RegOverridePredefKey(HKEY_CURRENT_USER, scratch);
        ::RegCloseKey(scratch);
    }
    if (status != ERROR_SUCCESS) {
        // Without the redirection the test would work on the user's real settings: it does not run at all.
        RemoveScratchKey(path);
        throw std::runtime_error("cannot redirect HKEY_CURRENT_USER to a scratch key: error " +
                                 std::to_string(status));
    }
}

ScratchStore::~ScratchStore() {
    RemoveScratchKey(ScratchPath());
}
