// The Windows API for the few calls that have no portable form (durable file replacement, locks,
// links), without the macros that clash with the standard library (min, max). Include it only
// under _WIN32.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
