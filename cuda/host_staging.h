// Page-locked host memory that the copies an operation makes on every call pass through (a batch
// going up, a scalar coming down), kept by its owner from call to call: on a GPU such copies run
// asynchronously at full rate, where copies from pageable memory go through the driver's own
// staging. Memory handed out stays pending until its owner settles it, right after a
// synchronisation that covers every copy that used it, and the owner reads a download only after
// that synchronisation. Pending memory is never handed out again, grown or freed before the stream
// is synchronised, so an operation that failed between its copies and its synchronisation leaves
// no copy running from memory that is rewritten or freed.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

class HostStaging {
  public:
    HostStaging() = default;
    HostStaging(const HostStaging&) = delete;
    HostStaging& operator=(const HostStaging&) = delete;
    ~HostStaging();

    // At least `bytes` bytes for copies on the context's stream, aligned for any scalar and pending
    // until settle(); growing drops what was staged. While pending, first synchronises the stream
    // of its last copies, which fails as synchronize() does: TransformerCudaError "<operation>:
    // <runtime error string>". Throws TransformerCudaError kind Allocation "<operation>: <runtime
    // error string>" when the runtime refuses the memory, keeping what it had.
    [[nodiscard]] unsigned char* reserve(const TransformerCudaContext& context, std::uint64_t bytes,
                                         const char* operation);

    // No copy that used the memory is still running: the stream has been synchronised past them.
    void settle() noexcept { pendingOn_ = nullptr; }

  private:
    unsigned char* memory_ = nullptr;
    std::uint64_t bytes_ = 0;
    cudaStream_t pendingOn_ = nullptr;  // the stream a copy from or to the memory may still run on
};

}  // namespace Halcyne::Core::Vestra
