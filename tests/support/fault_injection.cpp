#include "support/fault_injection.h"

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>

namespace Halcyne::Core::Vestra::Testing {
namespace {

std::array<int, 3> callsLeft{};  // per FaultCall: 0 never fails, n fails the n-th call from now

bool shouldFail(FaultCall call) {
    int& left = callsLeft[static_cast<std::size_t>(call)];
    if (left > 0 && --left == 0) {
        errno = EIO;
        return true;
    }
    return false;
}

template <class Function>
Function realFunction(const char* name) {
    void* symbol = dlsym(RTLD_NEXT, name);
    if (symbol == nullptr) {
        std::abort();
    }
    return reinterpret_cast<Function>(symbol);
}

}  // namespace

FaultScope::FaultScope(FaultCall call, int occurrence) {
    callsLeft[static_cast<std::size_t>(call)] = occurrence;
}

FaultScope::~FaultScope() {
    callsLeft = {};
}

}  // namespace Halcyne::Core::Vestra::Testing

namespace Testing = Halcyne::Core::Vestra::Testing;

extern "C" ssize_t write(int descriptor, const void* bytes, std::size_t count) {
    if (Testing::shouldFail(Testing::FaultCall::Write)) {
        return -1;
    }
    static const auto real = Testing::realFunction<ssize_t (*)(int, const void*, std::size_t)>("write");
    return real(descriptor, bytes, count);
}

extern "C" int fsync(int descriptor) {
    if (Testing::shouldFail(Testing::FaultCall::Fsync)) {
        return -1;
    }
    static const auto real = Testing::realFunction<int (*)(int)>("fsync");
    return real(descriptor);
}

extern "C" int rename(const char* from, const char* to) noexcept {
    if (Testing::shouldFail(Testing::FaultCall::Rename)) {
        return -1;
    }
    static const auto real = Testing::realFunction<int (*)(const char*, const char*)>("rename");
    return real(from, to);
}
