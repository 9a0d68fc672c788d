#include "platform/com.h"
#include "platform/process_entry.h"
#include "repair/black_screen_fix.h"

// One run of the repair. The exit code is 0 whatever happened: failures are silent by design.
int ProgramMain() {
    platform::InitializeComForThisThread();
    RunBlackScreenFix();
    return 0;
}
