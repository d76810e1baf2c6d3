#include "cuda/transformer_cuda_error.h"

namespace Halcyne::Core::Vestra {

void checkCuda(cudaError_t status, const char* operation) {
    if (status == cudaSuccess) {
        return;
    }
    (void)cudaGetLastError();
    throw TransformerCudaError(TransformerCudaErrorKind::Runtime,
                               std::string(operation) + ": " + cudaGetErrorString(status));
}

void checkCublas(cublasStatus_t status, const char* operation) {
    if (status == CUBLAS_STATUS_SUCCESS) {
        return;
    }
    throw TransformerCudaError(TransformerCudaErrorKind::Blas, std::string(operation) + " failed with status " +
                                                                   std::to_string(static_cast<unsigned>(status)));
}

}  // namespace Halcyne::Core::Vestra
