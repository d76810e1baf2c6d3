#include "cuda/host_staging.h"

#include <string>

#include "cuda/transformer_cuda_error.h"

namespace Halcyne::Core::Vestra {

HostStaging::~HostStaging() {
    if (pendingOn_ != nullptr && cudaStreamSynchronize(pendingOn_) != cudaSuccess) {
        (void)cudaGetLastError();  // reported nowhere, so not left for the next kernel check
    }
    if (memory_ != nullptr) {
        (void)cudaFreeHost(memory_);
    }
}

unsigned char* HostStaging::reserve(const TransformerCudaContext& context, std::uint64_t bytes, const char* operation) {
    if (pendingOn_ != nullptr) {
        checkCuda(cudaStreamSynchronize(pendingOn_), operation);
        pendingOn_ = nullptr;
    }
    if (bytes > bytes_) {
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
    }
    pendingOn_ = context.stream;
    return memory_;
}

}  // namespace Halcyne::Core::Vestra
