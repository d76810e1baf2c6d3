// Ctrl-C (SIGINT) and SIGTERM as a request to stop: the handler only sets a flag, and the training
// loop reads it between steps, so the step under way finishes and is saved before the run ends.
#pragma once

namespace Halcyne::Core::Vestra::Cli {

void installInterruptHandler();
[[nodiscard]] bool interruptRequested();
// Raises SIGINT in this process: the same path as a Ctrl-C at the terminal.
void raiseInterrupt();

}  // namespace Halcyne::Core::Vestra::Cli
