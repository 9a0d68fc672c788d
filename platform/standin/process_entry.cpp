#include <csignal>
#include <initializer_list>

#include "platform/process_entry.h"

// Arguments are not looked at. Three signals would end the run with a signal's status instead of the
// program's own exit code: SIGPIPE when the terminal's pipe goes away mid-dialog, SIGHUP when the terminal is
// closed, SIGXFSZ when a value file would pass the file-size limit. Ignored, each turns into a failed call: a
// dialog that could not be shown, or a value that could not be written.
int main() {
    for (const int ignored : {SIGPIPE, SIGHUP, SIGXFSZ}) {
        (void)std::signal(ignored, SIG_IGN);
    }
    return ProgramMain();
}
