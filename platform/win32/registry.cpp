#include "platform/registry.h"

#include <windows.h>

namespace platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

// char16_t and wchar_t hold the same UTF-16 code units on Windows; only the type differs.
const wchar_t* Wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}
HKEY Native(KeyHandle key) {
    return reinterpret_cast<HKEY>(key);
}
HKEY* Native(KeyHandle* key) {
    return reinterpret_cast<HKEY*>(key);
}

class Win32Registry final : public Registry {
  public:
    KeyHandle CurrentUser() override { return reinterpret_cast<KeyHandle>(HKEY_CURRENT_USER); }

    RegistryStatus CreateKey(KeyHandle root, const char16_t* subKey, KeyHandle* result) override {
        return ::RegCreateKeyExW(Native(root), Wide(subKey), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, nullptr, Native(result), nullptr);
    }

    RegistryStatus OpenKey(KeyHandle root, const char16_t* subKey, KeyHandle* result) override {
        return ::RegOpenKeyW(Native(root), Wide(subKey), Native(result));
    }

    RegistryStatus QueryValue(KeyHandle key, const char16_t* name, std::uint32_t* type, void* data,
                              std::uint32_t* size) override {
        static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
        return ::RegQueryValueExW(Native(key), Wide(name), nullptr, reinterpret_cast<DWORD*>(type),
                                  static_cast<BYTE*>(data), reinterpret_cast<DWORD*>(size));
    }

    RegistryStatus SetValue(KeyHandle key, const char16_t* name, std::uint32_t type, const void* data,
                            std::uint32_t size) override {
        return ::RegSetValueExW(Native(key), Wide(name), 0, type, static_cast<const BYTE*>(data), size);
    }

    RegistryStatus CloseKey(KeyHandle key) override { return ::RegCloseKey(Native(key)); }
};

Win32Registry systemRegistry;

}  // namespace

Registry& SystemRegistry() {
    return systemRegistry;
}

}  // namespace platform
