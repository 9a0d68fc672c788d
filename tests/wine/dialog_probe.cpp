// Test helper: waits for the repair tool's message box and describes it as one line of UTF-8 JSON, without
// touching it:
//
//   {"title":"...","class":"#32770","owner":0,"focus_id":1,
//    "controls":[{"class":"Static","id":65535,"text":"...","visible":true,"default":false},
//                {"class":"Button","id":1,"text":"OK","visible":true,"default":true}, ...]}
//
// "owner" is 1 when the box has an owner window, "default" marks the push button drawn as the default one,
// "focus_id" is the control with the keyboard focus (the button that Enter presses).
//
//   dialog_probe [TIMEOUT_MS [TITLE]]
//
// TITLE defaults to the tool's caption (so that the command line carries no non-ASCII text). Exit code 0
// when the window was found, 2 when no visible window with that title appeared within TIMEOUT_MS (default
// 10000).
#include <windows.h>

#include <cwchar>
#include <string>

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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const DWORD timeout_ms = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 10000;
    const wchar_t* title = argc > 2 ? argv[2] : L"修复黑屏";

    // The box exists before it is filled in; it turns visible once its text and buttons are final.
    HWND dialog = nullptr;
    const DWORD start = GetTickCount();
    for (;;) {
        dialog = FindWindowW(nullptr, title);
        if (dialog != nullptr && IsWindowVisible(dialog) != FALSE) {
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
        "{\"title\":" + json_string(window_text(dialog)) + ",\"class\":" + json_string(class_name(dialog)) +
        ",\"owner\":" + (owner != nullptr ? "1" : "0") +
        ",\"focus_id\":" + std::to_string(gui.hwndFocus != nullptr ? GetDlgCtrlID(gui.hwndFocus) : 0) +
        ",\"controls\":[" + controls + "]}\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
              nullptr);
    return 0;
}
