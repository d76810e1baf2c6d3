// The view of a device session that every CUDA function receives: device index, the one stream all
// work is ordered on, the cuBLAS handle bound to it and the allocator. Non-owning; valid as long as
// the session that filled it.
#pragma once

#include <cstdint>

#include "cuda/device_allocator.h"
#include "cuda/device_platform.h"

namespace Halcyne::Core::Vestra {

struct TransformerCudaContext {
    std::int32_t device = 0;
    cudaStream_t stream = nullptr;
    cublasHandle_t cublas = nullptr;
    ITransformerDeviceAllocator* allocator = nullptr;
};

// Throws TransformerCudaError kind Context "incomplete CUDA training context" unless the stream and
// the allocator are both set. The device index and the cuBLAS handle are not checked.
void requireCompleteContext(const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
