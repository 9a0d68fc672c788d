#include <windows.h>

#include "platform/process_entry.h"

// The GUI-subsystem process entry. Instance handles, command line and show state are of no use to the
// program.
int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int /*show*/) {
    return ProgramMain();
}
