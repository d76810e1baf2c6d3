// Ctrl-C (SIGINT), SIGTERM and SIGHUP as a request to stop: the handler only sets a flag, which the
// training loop reads between steps and, in a single process, between the batches of a step, whose
// open window is then saved with the checkpoint.
#pragma once

namespace Halcyne::Core::Vestra::Cli {

void installInterruptHandler();
[[nodiscard]] bool interruptRequested();
// Raises SIGINT in this process: the same path as a Ctrl-C at the terminal.
void raiseInterrupt();

}  // namespace Halcyne::Core::Vestra::Cli
