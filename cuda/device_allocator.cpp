#include "cuda/device_allocator.h"

#include <algorithm>
#include <string>

#include "cuda/transformer_cuda_error.h"

namespace Halcyne::Core::Vestra {

void* TransformerCudaAllocator::allocate(std::uint64_t bytes, cudaStream_t stream) {
    void* pointer = nullptr;
    const cudaError_t status = cudaMallocAsync(&pointer, static_cast<std::size_t>(bytes), stream);
    if (status != cudaSuccess) {
        (void)cudaGetLastError();  // reported here, not again at the next kernel check
        throw TransformerCudaError(TransformerCudaErrorKind::Allocation,
                                   std::string("cudaMallocAsync: ") + cudaGetErrorString(status));
    }
    allocatedBytes_ += bytes;
    peakBytes_ = std::max(peakBytes_, allocatedBytes_);
    return pointer;
}

void TransformerCudaAllocator::deallocate(void* pointer, std::uint64_t bytes, cudaStream_t stream) {
    if (pointer == nullptr) {
        return;
    }
    (void)cudaFreeAsync(pointer, stream);
    allocatedBytes_ = allocatedBytes_ < bytes ? 0 : allocatedBytes_ - bytes;
}

}  // namespace Halcyne::Core::Vestra
