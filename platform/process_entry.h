#pragma once

// The program's own main function, defined by the program (repair/program_main.cpp). The platform's process
// entry (platform/<side>/process_entry.cpp: wWinMain on Windows, main elsewhere) calls it once, without
// passing on the command line, and ends the process with its result as the exit code.
int ProgramMain();
