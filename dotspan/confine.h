// Confinement of the process once its descriptors are set up (confine.cpp).
#pragma once

namespace dotspan {

// Gives up every system call that a run does not need, where this build and
// the kernel allow it; true when the process is now confined. A refusal is
// never an error: the run goes on as before, unconfined.
bool confine();

}   // namespace dotspan
