#include "platform/com.h"

#include <objbase.h>

namespace platform {

void InitializeComForThisThread() {
    // The apartment lives until the process ends; nothing uninitialises it.
    (void)::CoInitialize(nullptr);
}

}  // namespace platform
