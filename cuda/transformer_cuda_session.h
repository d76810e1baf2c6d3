// The owner of a device context: selects the device, lets the device's stream-ordered memory pool
// keep what is freed (no release threshold), creates one non-blocking stream and one cuBLAS handle
// bound to it in pedantic math mode, and destroys them in reverse order. A constructor that fails
// releases what it had created before the exception leaves it.
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
};

}  // namespace Halcyne::Core::Vestra
