#include "cpu_device/device_times.h"

#include <atomic>
#include <chrono>

namespace Halcyne::Core::Vestra::CpuDevice {
namespace {

struct Counters {
    std::atomic<std::int64_t> gemmNanoseconds{0};
    std::atomic<std::int64_t> kernelNanoseconds{0};
    std::atomic<std::uint64_t> gemms{0};
    std::atomic<std::uint64_t> launches{0};
};

constinit Counters counters;

std::int64_t now() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

DeviceTimes deviceTimes() {
    return {static_cast<double>(counters.gemmNanoseconds.load(std::memory_order_relaxed)) * 1e-9,
            static_cast<double>(counters.kernelNanoseconds.load(std::memory_order_relaxed)) * 1e-9,
            counters.gemms.load(std::memory_order_relaxed), counters.launches.load(std::memory_order_relaxed)};
}

void resetDeviceTimes() {
    counters.gemmNanoseconds = 0;
    counters.kernelNanoseconds = 0;
    counters.gemms = 0;
    counters.launches = 0;
}

DeviceTimer::DeviceTimer(Kind kind) noexcept : kind_(kind), start_(now()) {}

DeviceTimer::~DeviceTimer() {
    const std::int64_t elapsed = now() - start_;
    if (kind_ == Kind::Gemm) {
        counters.gemmNanoseconds.fetch_add(elapsed, std::memory_order_relaxed);
        counters.gemms.fetch_add(1, std::memory_order_relaxed);
    } else {
        counters.kernelNanoseconds.fetch_add(elapsed, std::memory_order_relaxed);
        counters.launches.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace Halcyne::Core::Vestra::CpuDevice
