// What any program showing the utility's first dialog has to do: initialise COM on its thread and show the
// same message box. bench/run compares the utility's time to its dialog against this one's.
#include <objbase.h>
#include <windows.h>

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int /*show*/) {
    (void)::CoInitialize(nullptr);
    ::MessageBoxW(nullptr, L"环境黑屏问题已尝试修复，重新启动Lumarest，确认是否修复", L"修复黑屏", MB_OK);
    return 0;
}
