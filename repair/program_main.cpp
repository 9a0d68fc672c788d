#include <cstdlib>
#include <new>

#include "platform/com.h"
#include "platform/process_entry.h"
#include "repair/black_screen_fix.h"

// One run of the repair. The exit code is 0 whatever happened: failures are silent by design.
//
// Running out of memory too. A standard container that cannot grow (a file name, the dialog's text) would
// throw bad_alloc, which nothing can catch in a program built without exceptions, and the run would abort.
// Instead the run ends there, as silently as any other failure. That is no harm to the settings: the store
// is made to survive its writer being killed at any moment, with the old value or the new one in place.
int ProgramMain() {
    std::set_new_handler([] { std::_Exit(0); });
    platform::InitializeComForThisThread();
    RunBlackScreenFix();
    return 0;
}
