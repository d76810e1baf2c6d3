#include "cli/interrupt.h"

#include <csignal>

namespace Halcyne::Core::Vestra::Cli {
namespace {

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void onInterrupt(int) {
    stopRequested = 1;
}

}  // namespace

void installInterruptHandler() {
    // std::signal also serves Windows consoles, whose C runtime delivers Ctrl-C as SIGINT. A closed
    // terminal (SIGHUP) stops a run as Ctrl-C does.
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
#if defined(SIGHUP)
    std::signal(SIGHUP, onInterrupt);
#endif
}

bool interruptRequested() {
    return stopRequested != 0;
}

void raiseInterrupt() {
    std::raise(SIGINT);
}

}  // namespace Halcyne::Core::Vestra::Cli
