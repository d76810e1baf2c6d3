#include "support/fault_injection.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>

namespace Halcyne::Core::Vestra::Testing {
namespace {

struct Fault {
    int seen = 0;
    int failAt = 0;  // 0: never
    int error = 0;
};

std::array<Fault, 3> faults;

Fault& faultFor(FaultCall call) {
    return faults[static_cast<std::size_t>(call)];
}

// True when this call is the armed one; counts it either way.
bool shouldFail(FaultCall call) {
    Fault& fault = faultFor(call);
    fault.seen += 1;
    if (fault.failAt != 0 && fault.seen == fault.failAt) {
        errno = fault.error;
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

void armFault(FaultCall call, int occurrence, int error) {
    faultFor(call) = Fault{0, occurrence, error};
}

void disarmFaults() {
    faults = {};
}

int faultCallsSeen(FaultCall call) {
    return faultFor(call).seen;
}

}  // namespace Halcyne::Core::Vestra::Testing

using Halcyne::Core::Vestra::Testing::FaultCall;

extern "C" {

int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, unsigned int));
        va_end(arguments);
    }
    if (Halcyne::Core::Vestra::Testing::shouldFail(FaultCall::Open)) {
        return -1;
    }
    static const auto real = Halcyne::Core::Vestra::Testing::realFunction<int (*)(const char*, int, ...)>("open");
    return real(path, flags, mode);
}

int fsync(int descriptor) {
    if (Halcyne::Core::Vestra::Testing::shouldFail(FaultCall::Fsync)) {
        return -1;
    }
    static const auto real = Halcyne::Core::Vestra::Testing::realFunction<int (*)(int)>("fsync");
    return real(descriptor);
}

int rename(const char* from, const char* to) noexcept {
    if (Halcyne::Core::Vestra::Testing::shouldFail(FaultCall::Rename)) {
        return -1;
    }
    static const auto real = Halcyne::Core::Vestra::Testing::realFunction<int (*)(const char*, const char*)>("rename");
    return real(from, to);
}

}  // extern "C"
