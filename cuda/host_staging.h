// Page-locked host memory that the copies an operation makes on every call pass through (a batch
// going up, a scalar coming down), kept by its owner from call to call: on a GPU such copies run
// asynchronously at full rate, where copies from pageable memory go through the driver's own
// staging. The owner synchronises the stream past every copy that used the memory before it writes
// it again, reads a download from it, or grows it.
#pragma once

#include <cstdint>

namespace Halcyne::Core::Vestra {

class HostStaging {
  public:
    HostStaging() = default;
    HostStaging(const HostStaging&) = delete;
    HostStaging& operator=(const HostStaging&) = delete;
    ~HostStaging();

    // At least `bytes` bytes, aligned for any scalar; growing drops what was staged. Throws
    // TransformerCudaError kind Allocation "<operation>: <runtime error string>" when the runtime
    // refuses, keeping what it had.
    [[nodiscard]] unsigned char* reserve(std::uint64_t bytes, const char* operation);

  private:
    unsigned char* memory_ = nullptr;
    std::uint64_t bytes_ = 0;
};

}  // namespace Halcyne::Core::Vestra
