#include <csignal>

#include "platform/process_entry.h"

// Arguments are not looked at. A terminal that goes away mid-dialog must not end the run with SIGPIPE: the
// failed write then counts as a dialog that could not be shown, and the exit code stays the program's own.
int main() {
    (void)std::signal(SIGPIPE, SIG_IGN);
    return ProgramMain();
}
