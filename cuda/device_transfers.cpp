#include "cuda/device_transfers.h"

#include "cuda/transformer_cuda_error.h"

namespace Halcyne::Core::Vestra {

void copyToDevice(const TransformerCudaContext& context, void* device, const void* host, std::uint64_t bytes,
                  const char* operation) {
    checkCuda(cudaMemcpyAsync(device, host, static_cast<std::size_t>(bytes), cudaMemcpyHostToDevice, context.stream),
              operation);
}

void copyToHost(const TransformerCudaContext& context, void* host, const void* device, std::uint64_t bytes,
                const char* operation) {
    checkCuda(cudaMemcpyAsync(host, device, static_cast<std::size_t>(bytes), cudaMemcpyDeviceToHost, context.stream),
              operation);
}

void clearDevice(const TransformerCudaContext& context, void* device, std::uint64_t bytes, const char* operation) {
    checkCuda(cudaMemsetAsync(device, 0, static_cast<std::size_t>(bytes), context.stream), operation);
}

void checkKernels(const char* operation) {
    checkCuda(cudaGetLastError(), operation);
}

void synchronize(const TransformerCudaContext& context, const char* operation) {
    checkCuda(cudaStreamSynchronize(context.stream), operation);
}

void requireSameCount(std::uint64_t host, std::uint64_t device, const char* operation) {
    if (host != device) {
        throw std::invalid_argument(std::string(operation) + ": host and device element counts differ");
    }
}

}  // namespace Halcyne::Core::Vestra
