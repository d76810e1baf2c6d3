// The verification run that main performs: open the device session on device 0, run the parity
// scenarios in their fixed order, and report the outcome as one line.
#pragma once

#include <ostream>

namespace Halcyne::Core::Vestra {

// Writes the summary line to `out` and returns 0 when every scenario passes. Any std::exception
// (a failed requirement, a library or device error, including a session that cannot open) ends the
// run: the session is released, what() and a newline go to `err`, and the result is 1. Exceptions
// of other types are not caught.
int runVerification(std::ostream& out, std::ostream& err);

}  // namespace Halcyne::Core::Vestra
