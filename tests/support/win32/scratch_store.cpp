#include "tests/support/scratch_store.h"

#include <windows.h>

namespace {

// The keys tests write to. The tests run in a throw-away Wine prefix, whose registry is the real one.
void RemoveTestKeys() {
    for (const wchar_t* key : {L"Software\\BlackScreenFixTests", L"Software\\Drovenal"}) {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, key);
        ::RegDeleteKeyW(HKEY_CURRENT_USER, key);
    }
}

}  // namespace

ScratchStore::ScratchStore() {
    RemoveTestKeys();
}
ScratchStore::~ScratchStore() {
    RemoveTestKeys();
}
