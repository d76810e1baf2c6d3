// AddressSanitizer hooks the fiber executor needs: stack switches must be announced, or the
// sanitizer takes a fiber's stack for a wild overflow of the host thread's own.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define VESTRA_CPU_DEVICE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESTRA_CPU_DEVICE_ASAN 1
#endif
#endif
#if !defined(VESTRA_CPU_DEVICE_ASAN)
#define VESTRA_CPU_DEVICE_ASAN 0
#endif

#if VESTRA_CPU_DEVICE_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
