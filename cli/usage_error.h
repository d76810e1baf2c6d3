// A request the command line accepted but the run it names refuses (for example moving the end of
// a run below the steps it has taken). It ends the command like any usage error: one line and the
// usage exit status.
#pragma once

#include <stdexcept>

namespace Halcyne::Core::Vestra::Cli {

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace Halcyne::Core::Vestra::Cli
