// Loads BlackScreenFix.exe as a module, without starting it, and calls its export GetHandleVerifier, which
// must be there under exactly that name and return null.
//   call_handle_verifier PATH\TO\BlackScreenFix.exe

#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        (void)std::fputs("usage: call_handle_verifier PATH\\TO\\BlackScreenFix.exe\n", stderr);
        return 2;
    }
    HMODULE const program = ::LoadLibraryExW(argv[1], nullptr, 0);
    if (program == nullptr) {
        (void)std::fprintf(stderr, "cannot load the program: error %lu\n", ::GetLastError());
        return 1;
    }
    using GetHandleVerifierFunction = void* (*)();
    // FARPROC is a stand-in type for any function; the detour through void (*)() says so to the compiler.
    const auto getHandleVerifier = reinterpret_cast<GetHandleVerifierFunction>(
        reinterpret_cast<void (*)()>(::GetProcAddress(program, "GetHandleVerifier")));
    if (getHandleVerifier == nullptr) {
        (void)std::fputs("no export named GetHandleVerifier\n", stderr);
        return 1;
    }
    for (int call = 0; call < 3; ++call) {  // "at any time": the answer never changes
        if (getHandleVerifier() != nullptr) {
            (void)std::fputs("GetHandleVerifier returned something other than null\n", stderr);
            return 1;
        }
    }
    (void)std::puts("GetHandleVerifier returned null");
    return 0;
}
