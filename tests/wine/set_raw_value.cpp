// Test helper: puts registry values under HKEY_CURRENT_USER into exact states that reg.exe cannot express,
// and reads them back byte for byte.
//
//   set_raw_value set    KEY NAME TYPE HEX   write HEX bytes (any count, "-" for none) as type TYPE
//   set_raw_value get    KEY NAME            print "TYPE HEX" (exit 0); or "missing value" (exit 2),
//                                            "missing key" (exit 3), "denied" (exit 4)
//   set_raw_value deny   KEY                 create KEY and give it an empty DACL: nobody may open it
//   set_raw_value delete KEY                 delete KEY and everything under it, giving back access
//                                            first where a key was denied
//   set_raw_value save   HKCU|HKLM FILE      write the whole hive to FILE with RegSaveKeyW (under Wine
//                                            in its own text format, with the exact bytes)
//
// KEY is relative to HKEY_CURRENT_USER, TYPE is the numeric REG_* code. Exit code 1: a usage error or an
// unexpected registry failure.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int fail(const char* what, LONG rc) {
    (void)std::fprintf(stderr, "set_raw_value: %s failed with error %ld\n", what, rc);
    return 1;
}

int nibble(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

bool parse_hex(const wchar_t* text, std::vector<BYTE>& out) {
    if (std::wcscmp(text, L"-") == 0) {
        return true;
    }
    const size_t len = std::wcslen(text);
    if (len % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < len; i += 2) {
        const int high = nibble(text[i]);
        const int low = nibble(text[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out.push_back(static_cast<BYTE>(high * 16 + low));
    }
    return true;
}

int cmd_set(const wchar_t* key, const wchar_t* name, const wchar_t* type_text, const wchar_t* hex) {
    std::vector<BYTE> data;
    wchar_t* end = nullptr;
    const DWORD type = std::wcstoul(type_text, &end, 10);
    if (*type_text == 0 || *end != 0 || !parse_hex(hex, data)) {
        (void)std::fprintf(stderr, "set_raw_value: bad TYPE or HEX\n");
        return 1;
    }
    // Wine's RegSetValueExW stretches a string's byte count by one character when the counted data ends in
    // a non-zero character followed by a zero one in memory. Padding the copy with 0xFF keeps the stored
    // bytes exactly as given (for instance a REG_SZ without terminator).
    std::vector<BYTE> padded(data);
    padded.resize(data.size() + 4, 0xFF);
    HKEY k = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr);
    if (rc != ERROR_SUCCESS) {
        return fail("RegCreateKeyExW", rc);
    }
    rc = RegSetValueExW(k, name, 0, type, padded.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS) {
        return fail("RegSetValueExW", rc);
    }
    return 0;
}

int cmd_get(const wchar_t* key, const wchar_t* name) {
    HKEY k = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_QUERY_VALUE, &k);
    if (rc == ERROR_FILE_NOT_FOUND) {
        (void)std::puts("missing key");
        return 3;
    }
    if (rc == ERROR_ACCESS_DENIED) {
        (void)std::puts("denied");
        return 4;
    }
    if (rc != ERROR_SUCCESS) {
        return fail("RegOpenKeyExW", rc);
    }
    DWORD type = 0;
    DWORD size = 0;
    rc = RegQueryValueExW(k, name, nullptr, &type, nullptr, &size);
    std::vector<BYTE> data(size + 1);
    if (rc == ERROR_SUCCESS) {
        rc = RegQueryValueExW(k, name, nullptr, &type, data.data(), &size);
    }
    RegCloseKey(k);
    if (rc == ERROR_FILE_NOT_FOUND) {
        (void)std::puts("missing value");
        return 2;
    }
    if (rc != ERROR_SUCCESS) {
        return fail("RegQueryValueExW", rc);
    }
    std::string line = std::to_string(type) + " ";
    for (DWORD i = 0; i < size; ++i) {
        const char* digits = "0123456789abcdef";
        line += digits[data[i] >> 4];
        line += digits[data[i] & 15];
    }
    (void)std::puts(line.c_str());
    return 0;
}

// Sets the key's DACL: an empty one denies everybody, none (nullptr) lifts all restrictions again.
LONG set_dacl(HKEY k, PACL dacl) {
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, dacl, FALSE);
    return RegSetKeySecurity(k, DACL_SECURITY_INFORMATION, &sd);
}

int cmd_deny(const wchar_t* key) {
    HKEY k = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, WRITE_DAC, nullptr, &k, nullptr);
    if (rc != ERROR_SUCCESS) {
        return fail("RegCreateKeyExW", rc);
    }
    ACL empty;
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    rc = set_dacl(k, &empty);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS) {
        return fail("RegSetKeySecurity", rc);
    }
    return 0;
}

// Gives back access to KEY and every key below it, so that they can be deleted. The owner may always
// rewrite a key's DACL, even an empty one.
void allow_tree(const std::wstring& key) {
    std::vector<std::wstring> pending{key};
    while (!pending.empty()) {
        const std::wstring path = pending.back();
        pending.pop_back();
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, WRITE_DAC, &k) == ERROR_SUCCESS) {
            set_dacl(k, nullptr);
            RegCloseKey(k);
        }
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &k) != ERROR_SUCCESS) {
            continue;
        }
        wchar_t name[256];
        for (DWORD i = 0;; ++i) {
            DWORD len = 256;
            if (RegEnumKeyExW(k, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
                break;
            }
            pending.push_back(path + L"\\" + std::wstring(name, len));
        }
        RegCloseKey(k);
    }
}

int cmd_delete(const wchar_t* key) {
    LONG rc = RegDeleteTreeW(HKEY_CURRENT_USER, key);
    if (rc == ERROR_ACCESS_DENIED) {
        allow_tree(key);
        rc = RegDeleteTreeW(HKEY_CURRENT_USER, key);
    }
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        return fail("RegDeleteTreeW", rc);
    }
    return 0;
}

// A snapshot of a hive in one call: under Wine the server writes the file itself, where walking the keys
// one request at a time takes seconds.
int cmd_save(const wchar_t* hive, const wchar_t* file) {
    HKEY root = nullptr;
    if (std::wcscmp(hive, L"HKCU") == 0) {
        root = HKEY_CURRENT_USER;
    } else if (std::wcscmp(hive, L"HKLM") == 0) {
        root = HKEY_LOCAL_MACHINE;
    } else {
        (void)std::fprintf(stderr, "set_raw_value: HIVE is HKCU or HKLM\n");
        return 1;
    }
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token) == FALSE) {
        return fail("OpenProcessToken", static_cast<LONG>(GetLastError()));
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    LookupPrivilegeValueW(nullptr, L"SeBackupPrivilege", &privileges.Privileges[0].Luid);
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(token);
    if (error != ERROR_SUCCESS) {
        return fail("AdjustTokenPrivileges", static_cast<LONG>(error));
    }
    DeleteFileW(file);  // RegSaveKeyW does not overwrite
    const LONG rc = RegSaveKeyW(root, file, nullptr);
    if (rc != ERROR_SUCCESS) {
        return fail("RegSaveKeyW", rc);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring cmd = argc > 1 ? argv[1] : L"";
    if (cmd == L"set" && argc == 6) {
        return cmd_set(argv[2], argv[3], argv[4], argv[5]);
    }
    if (cmd == L"get" && argc == 4) {
        return cmd_get(argv[2], argv[3]);
    }
    if (cmd == L"deny" && argc == 3) {
        return cmd_deny(argv[2]);
    }
    if (cmd == L"delete" && argc == 3) {
        return cmd_delete(argv[2]);
    }
    if (cmd == L"save" && argc == 4) {
        return cmd_save(argv[2], argv[3]);
    }
    (void)std::fprintf(stderr,
                       "usage: set_raw_value set KEY NAME TYPE HEX | get KEY NAME | deny KEY | delete KEY |"
                       " save HKCU|HKLM FILE\n");
    return 1;
}
