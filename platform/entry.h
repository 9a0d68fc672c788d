#pragma once

namespace platform {

// The program's own entry. The platform's process entry (wWinMain on Windows, main elsewhere) calls it once,
// without passing on the command line, and ends the process with its result as the exit code.
int ProgramEntry();

}  // namespace platform
