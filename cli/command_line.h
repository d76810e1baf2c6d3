// The command line of `vestra`: its subcommands (train, sample, eval, inspect), their options and
// defaults, and the dispatch to each command. Errors in the command line itself are usage errors.
#pragma once

#include "core/transformer_spec.h"

namespace Halcyne::Core::Vestra::Cli {

// Exit statuses: 0 done (also a training run stopped by Ctrl-C, whose checkpoint is saved), 1 a
// command that failed (one line on standard error), 2 a command line that makes no sense.
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;

// The model `vestra train` makes when no option shapes it.
[[nodiscard]] TransformerSpec defaultModelSpec();

// Parses and runs one command. Throws what the command throws; usage errors are reported here.
int runCommandLine(int argc, char** argv);

}  // namespace Halcyne::Core::Vestra::Cli
