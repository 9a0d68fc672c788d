#pragma once

namespace platform {

// Initialises COM for the calling thread as a single-threaded apartment. The outcome is not reported: nothing
// in the program depends on it. Off Windows there is nothing to initialise.
void InitializeComForThisThread();

}  // namespace platform
