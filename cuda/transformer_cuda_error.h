// Device failures: the exception every failed CUDA runtime or cuBLAS call becomes, and the two
// status checks that raise it with the name of the operation that failed.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "cuda/device_platform.h"

namespace Halcyne::Core::Vestra {

enum class TransformerCudaErrorKind : std::uint8_t {
    Runtime = 0,     // a CUDA runtime call failed (checkCuda)
    Blas = 1,        // a cuBLAS call failed (checkCublas, the trainer's GEMMs)
    Allocation = 2,  // TransformerCudaAllocator::allocate
    Context = 4,     // requireCompleteContext
};

class TransformerCudaError : public std::runtime_error {
  public:
    TransformerCudaError(TransformerCudaErrorKind errorKind, const std::string& message)
        : std::runtime_error(message), kind(errorKind) {}

    TransformerCudaErrorKind kind;
};

// Returns when status is cudaSuccess; otherwise throws kind Runtime with
// "<operation>: <cudaGetErrorString(status)>". The failure is then consumed as the thread's last
// error, so that a later kernel check does not report it a second time under another name.
void checkCuda(cudaError_t status, const char* operation);

// Returns when status is CUBLAS_STATUS_SUCCESS; otherwise throws kind Blas with
// "<operation> failed with status <status as an unsigned decimal>".
void checkCublas(cublasStatus_t status, const char* operation);

}  // namespace Halcyne::Core::Vestra
