#include "platform/com.h"

namespace platform {

void InitializeComForThisThread() {}  // there is no COM off Windows

}  // namespace platform
