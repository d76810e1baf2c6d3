// Where the CPU device's time goes, for benchmarks: the wall time its GEMMs and its kernel launches
// took since the last reset, and how many there were. Every call adds to the counters; reading them
// changes nothing. The CUDA backend has none of this.
#pragma once

#include <cstdint>

namespace Halcyne::Core::Vestra::CpuDevice {

struct DeviceTimes {
    double gemmSeconds = 0.0;    // in cuBLAS calls that multiply, packing included
    double kernelSeconds = 0.0;  // in kernel launches, from their checks to their last block
    std::uint64_t gemms = 0;
    std::uint64_t launches = 0;
};

[[nodiscard]] DeviceTimes deviceTimes();
void resetDeviceTimes();

// Adds the time from its construction to its destruction to the GEMM or the kernel counters.
class DeviceTimer {
  public:
    enum class Kind : std::uint8_t { Gemm, Kernel };
    explicit DeviceTimer(Kind kind) noexcept;
    ~DeviceTimer();
    DeviceTimer(const DeviceTimer&) = delete;
    DeviceTimer& operator=(const DeviceTimer&) = delete;

  private:
    Kind kind_;
    std::int64_t start_;
};

}  // namespace Halcyne::Core::Vestra::CpuDevice
