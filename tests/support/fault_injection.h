// Injected failures of the POSIX calls behind durable file replacement. The test executable that
// links fault_injection.cpp defines open, fsync and rename itself; each forwards to the real call
// (found with dlsym(RTLD_NEXT)) unless a failure is armed for it. Works under the sanitizers, whose
// own interceptors are simply the next definition in line.
#pragma once

namespace Halcyne::Core::Vestra::Testing {

enum class FaultCall { Open, Fsync, Rename };

// The occurrence-th call of `call` from now on (1 = the next one) fails with errno = error.
// Arming a call resets its count; at most one failure per call is armed at a time.
void armFault(FaultCall call, int occurrence, int error);
void disarmFaults();
// Calls of `call` seen since it was last armed or all faults were disarmed.
int faultCallsSeen(FaultCall call);

// Disarms every fault when the scope ends, also when an assertion returns early.
struct FaultScope {
    FaultScope() = default;
    FaultScope(const FaultScope&) = delete;
    FaultScope& operator=(const FaultScope&) = delete;
    ~FaultScope() { disarmFaults(); }
};

}  // namespace Halcyne::Core::Vestra::Testing
