#include "cuda/transformer_cuda_session.h"

#include <cstdint>
#include <limits>

#include "cuda/transformer_cuda_error.h"

namespace Halcyne::Core::Vestra {

TransformerCudaSession::TransformerCudaSession(std::int32_t device, ITransformerDeviceAllocator* allocator)
    : context_{device, nullptr, nullptr, allocator != nullptr ? allocator : &allocator_} {
    checkCuda(cudaSetDevice(device), "cudaSetDevice");
    // Freed device memory stays in the stream-ordered pool instead of going back to the driver at
    // every synchronisation, so that steady training allocates from the pool.
    cudaMemPool_t pool = nullptr;
    checkCuda(cudaDeviceGetDefaultMemPool(&pool, device), "cudaDeviceGetDefaultMemPool");
    checkCuda(cudaMemPoolGetAttribute(pool, cudaMemPoolAttrReleaseThreshold, &previousReleaseThreshold_),
              "cudaMemPoolGetAttribute");
    std::uint64_t keepAll = std::numeric_limits<std::uint64_t>::max();
    checkCuda(cudaMemPoolSetAttribute(pool, cudaMemPoolAttrReleaseThreshold, &keepAll), "cudaMemPoolSetAttribute");
    pool_ = pool;
    try {
        cudaStream_t stream = nullptr;
        checkCuda(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), "cudaStreamCreate");
        context_.stream = stream;
        cublasHandle_t handle = nullptr;
        checkCublas(cublasCreate_v2(&handle), "cublasCreate");
        context_.cublas = handle;
        checkCublas(cublasSetStream_v2(handle, stream), "cublasSetStream");
        checkCublas(cublasSetMathMode(handle, CUBLAS_PEDANTIC_MATH), "cublasSetMathMode");
    } catch (...) {
        release();
        throw;
    }
}

TransformerCudaSession::~TransformerCudaSession() {
    release();
}

void TransformerCudaSession::release() noexcept {
    if (context_.cublas != nullptr) {
        (void)cublasDestroy_v2(context_.cublas);
        context_.cublas = nullptr;
    }
    if (context_.stream != nullptr) {
        (void)cudaStreamDestroy(context_.stream);
        context_.stream = nullptr;
    }
    if (pool_ != nullptr) {
        (void)cudaMemPoolSetAttribute(pool_, cudaMemPoolAttrReleaseThreshold, &previousReleaseThreshold_);
        pool_ = nullptr;
    }
}

}  // namespace Halcyne::Core::Vestra
