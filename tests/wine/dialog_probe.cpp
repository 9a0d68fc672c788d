// Test helper: waits for a visible top-level window of a running program, whatever its caption, and describes
// it as one line of UTF-8 JSON, without touching it:
//
//   {"window":65634,"title":"...","class":"#32770","owner":0,"focus_id":1,
//    "controls":[{"class":"Static","id":65535,"text":"...","visible":true,"default":false},
//                {"class":"Button","id":1,"text":"OK","visible":true,"default":true}, ...]}
//
// "window" is the window's handle, "owner" is 1 when the box has an owner window, "default" marks the push
// button drawn as the default one, "focus_id" is the control with the keyboard focus (the button that Enter
// presses).
//
//   dialog_probe TIMEOUT_MS PROGRAM [ANSWERED]
//
// PROGRAM is the file name of the program's executable (BlackScreenFix.exe). ANSWERED is the "window" of a
// box already answered: it stays visible for a moment while it closes, and is passed over. Exit code 0 when a
// window was found, 2 when none appeared within TIMEOUT_MS, 1 on a usage error.
#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
    return out;
}

std::string json_string(const std::wstring& text) {
    std::string out = "\"";
    for (const char c : utf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            const char* digits = "0123456789abcdef";
            out += "\\u00";
            out += digits[byte >> 4];
            out += digits[byte & 15];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::wstring window_text(HWND window) {
    wchar_t buffer[1024];
    const int n = GetWindowTextW(window, buffer, 1024);
    return {buffer, static_cast<size_t>(n > 0 ? n : 0)};
}

std::wstring class_name(HWND window) {
    wchar_t buffer[256];
    const int n = GetClassNameW(window, buffer, 256);
    return {buffer, static_cast<size_t>(n > 0 ? n : 0)};
}

bool is_default_button(HWND window) {
    return class_name(window) == L"Button" &&
           (GetWindowLongW(window, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
}

std::string describe_control(HWND control) {
    return "{\"class\":" + json_string(class_name(control)) +
           ",\"id\":" + std::to_string(GetDlgCtrlID(control)) +
           ",\"text\":" + json_string(window_text(control)) +
           ",\"visible\":" + (IsWindowVisible(control) != FALSE ? "true" : "false") +
           ",\"default\":" + (is_default_button(control) ? "true" : "false") + "}";
}

// The processes running an executable named `program`: more than one while an earlier run is going away.
std::vector<DWORD> processes_named(const wchar_t* program) {
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return ids;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more != FALSE;
         more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, program) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return ids;
}

// A visible top-level window of a process named `program`, other than `answered`; null if there is none.
HWND visible_window_of(const wchar_t* program, uintptr_t answered) {
    const std::vector<DWORD> processes = processes_named(program);
    if (processes.empty()) {
        return nullptr;
    }
    for (HWND window = FindWindowExW(nullptr, nullptr, nullptr, nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, nullptr, nullptr)) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        // A box exists before it is filled in; it turns visible once its text and buttons are final.
        if (reinterpret_cast<uintptr_t>(window) != answered && IsWindowVisible(window) != FALSE &&
            std::find(processes.begin(), processes.end(), process) != processes.end()) {
            return window;
        }
    }
    return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return 1;
    }
    const DWORD timeout_ms = std::wcstoul(argv[1], nullptr, 10);
    const wchar_t* program = argv[2];
    const uintptr_t answered = argc > 3 ? std::wcstoull(argv[3], nullptr, 10) : 0;

    HWND dialog = nullptr;
    const DWORD start = GetTickCount();
    for (;;) {
        dialog = visible_window_of(program, answered);
        if (dialog != nullptr) {
            break;
        }
        if (GetTickCount() - start > timeout_ms) {
            return 2;
        }
        Sleep(50);
    }

    std::string controls;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        controls += (controls.empty() ? "" : ",") + describe_control(child);
    }
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gui);
    HWND owner = GetWindow(dialog, GW_OWNER);
    const std::string line =
        "{\"window\":" + std::to_string(reinterpret_cast<uintptr_t>(dialog)) +
        ",\"title\":" + json_string(window_text(dialog)) + ",\"class\":" + json_string(class_name(dialog)) +
        ",\"owner\":" + (owner != nullptr ? "1" : "0") +
        ",\"focus_id\":" + std::to_string(gui.hwndFocus != nullptr ? GetDlgCtrlID(gui.hwndFocus) : 0) +
        ",\"controls\":[" + controls + "]}\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
              nullptr);
    return 0;
}
