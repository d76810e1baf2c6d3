// Where every device allocation of the system comes from: an allocator interface bound to a stream,
// and its CUDA implementation on stream-ordered allocation, which counts live and peak bytes for
// callers to read. The counters are bookkeeping, not a record of the allocations.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"

namespace Halcyne::Core::Vestra {

class ITransformerDeviceAllocator {
  public:
    virtual ~ITransformerDeviceAllocator() = default;
    // A device pointer to `bytes` bytes, usable in stream order on `stream`.
    virtual void* allocate(std::uint64_t bytes, cudaStream_t stream) = 0;
    // Returns memory from allocate with the byte count it was given; a null pointer is ignored.
    virtual void deallocate(void* pointer, std::uint64_t bytes, cudaStream_t stream) = 0;
    [[nodiscard]] virtual std::uint64_t allocatedBytes() const = 0;
    [[nodiscard]] virtual std::uint64_t peakBytes() const = 0;

  protected:
    ITransformerDeviceAllocator() = default;
    ITransformerDeviceAllocator(const ITransformerDeviceAllocator&) = default;
    ITransformerDeviceAllocator& operator=(const ITransformerDeviceAllocator&) = default;
};

// cudaMallocAsync / cudaFreeAsync with two counters: allocated bytes (live) and the peak they have
// reached. Peak never decreases; a deallocation larger than the live count clamps it at 0.
class TransformerCudaAllocator final : public ITransformerDeviceAllocator {
  public:
    TransformerCudaAllocator() = default;

    // Throws TransformerCudaError kind Allocation "cudaMallocAsync: <error string>" and leaves the
    // counters unchanged when the runtime refuses.
    void* allocate(std::uint64_t bytes, cudaStream_t stream) override;
    // The status of cudaFreeAsync is ignored: a free cannot be undone or retried.
    void deallocate(void* pointer, std::uint64_t bytes, cudaStream_t stream) override;
    [[nodiscard]] std::uint64_t allocatedBytes() const override { return allocatedBytes_; }
    [[nodiscard]] std::uint64_t peakBytes() const override { return peakBytes_; }

  private:
    std::uint64_t allocatedBytes_ = 0;
    std::uint64_t peakBytes_ = 0;
};

}  // namespace Halcyne::Core::Vestra
