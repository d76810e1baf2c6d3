// Injected failures of write, fsync and rename. The test executable that links fault_injection.cpp
// defines all three itself; each forwards to the real call (dlsym(RTLD_NEXT), which also finds a
// sanitizer's interceptor) unless a failure is armed for it.
#pragma once

namespace Halcyne::Core::Vestra::Testing {

enum class FaultCall { Write, Fsync, Rename };

// The occurrence-th call of `call` from now on (1 = the next one) fails with errno EIO, once.
// Disarmed when the scope ends, also when an assertion returns early.
class FaultScope {
  public:
    FaultScope(FaultCall call, int occurrence);
    FaultScope(const FaultScope&) = delete;
    FaultScope& operator=(const FaultScope&) = delete;
    ~FaultScope();
};

}  // namespace Halcyne::Core::Vestra::Testing
