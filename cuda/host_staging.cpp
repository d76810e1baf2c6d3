#include "cuda/host_staging.h"

#include <string>

#include "cuda/device_platform.h"
#include "cuda/transformer_cuda_error.h"

namespace Halcyne::Core::Vestra {

HostStaging::~HostStaging() {
    if (memory_ != nullptr) {
        (void)cudaFreeHost(memory_);
    }
}

unsigned char* HostStaging::reserve(std::uint64_t bytes, const char* operation) {
    if (bytes <= bytes_) {
        return memory_;
    }
    void* grown = nullptr;
    const cudaError_t status = cudaMallocHost(&grown, static_cast<std::size_t>(bytes));
    if (status != cudaSuccess) {
        (void)cudaGetLastError();  // reported here, not again at the next kernel check
        throw TransformerCudaError(TransformerCudaErrorKind::Allocation,
                                   std::string(operation) + ": " + cudaGetErrorString(status));
    }
    if (memory_ != nullptr) {
        (void)cudaFreeHost(memory_);
    }
    memory_ = static_cast<unsigned char*>(grown);
    bytes_ = bytes;
    return memory_;
}

}  // namespace Halcyne::Core::Vestra
