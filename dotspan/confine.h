// Confinement of the process once its descriptors are set up (confine.cpp).
#pragma once

namespace dotspan {

// Gives up every system call and every descriptor that a run does not need,
// where this build and the kernel allow it; a pipe may then be widened to
// widest_pipe bytes and no more. True when the process is now confined. A
// refusal is never an error: the run goes on as before, unconfined.
bool confine(int widest_pipe);

}   // namespace dotspan
