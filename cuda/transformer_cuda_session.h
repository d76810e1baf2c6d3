// The owner of a device context: selects the device, lets the device's stream-ordered memory pool
// keep what is freed (no release threshold), creates one non-blocking stream and one cuBLAS handle
// bound to it in pedantic math mode, and undoes all of it in reverse order, putting back the pool's
// threshold as it found it. A constructor that fails releases what it had changed before the
// exception leaves it. Sessions on one device end in the reverse order of their creation.
#pragma once

#include <cstdint>

#include "cuda/device_allocator.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

class TransformerCudaSession {
  public:
    // With a null allocator the session's own TransformerCudaAllocator serves the context; an
    // external allocator must outlive the session, which does not own it.
    explicit TransformerCudaSession(std::int32_t device, ITransformerDeviceAllocator* allocator = nullptr);
    ~TransformerCudaSession();

    // The context points into the session, so the session stays where it was built.
    TransformerCudaSession(const TransformerCudaSession&) = delete;
    TransformerCudaSession& operator=(const TransformerCudaSession&) = delete;

    // A trainer keeps the context it was built on and works through it, so a mutable session hands
    // out a mutable context; a const session only a view.
    [[nodiscard]] TransformerCudaContext& context() noexcept { return context_; }
    [[nodiscard]] const TransformerCudaContext& context() const noexcept { return context_; }

  private:
    void release() noexcept;

    TransformerCudaAllocator allocator_;
    TransformerCudaContext context_;
    cudaMemPool_t pool_ = nullptr;  // set while its release threshold is the session's
    std::uint64_t previousReleaseThreshold_ = 0;
};

}  // namespace Halcyne::Core::Vestra
