// The cuBLAS calls of the CPU device. Every element of C is summed over k in index order from
// zero (cpu_device/packed_gemm.h), whichever transposes the call names, so the same inputs give the
// same bits.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cpu_device/bfloat16_rounding.h"
#include "cpu_device/cublas_v2.h"
#include "cpu_device/cuda_bf16.h"
#include "cpu_device/device_state.h"
#include "cpu_device/packed_gemm.h"

namespace {

using namespace Halcyne::Core::Vestra::CpuDevice;

cublasStatus_t injected() {
    const auto status = takeFault(FaultSite::Blas);
    return status ? static_cast<cublasStatus_t>(*status) : CUBLAS_STATUS_SUCCESS;
}

bool isOperation(cublasOperation_t operation) {
    return operation == CUBLAS_OP_N || operation == CUBLAS_OP_T || operation == CUBLAS_OP_C;
}

// op(A) is m x k, op(B) is k x n, C is m x n, all column-major with their leading dimensions.
struct GemmShape {
    bool transposeA;
    bool transposeB;
    int m;
    int n;
    int k;
    int lda;
    int ldb;
    int ldc;

    [[nodiscard]] int rowsA() const { return transposeA ? k : m; }
    [[nodiscard]] int columnsA() const { return transposeA ? m : k; }
    [[nodiscard]] int rowsB() const { return transposeB ? n : k; }
    [[nodiscard]] int columnsB() const { return transposeB ? k : n; }
};

// The BLAS argument checks, in the order BLAS reports them.
cublasStatus_t checkShape(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                          int k, int lda, int ldb, int ldc, const void* alpha, const void* beta, GemmShape& shape) {
    if (!isLiveHandle(handle)) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    shape = {transa != CUBLAS_OP_N, transb != CUBLAS_OP_N, m, n, k, lda, ldb, ldc};
    if (!isOperation(transa) || !isOperation(transb) || m < 0 || n < 0 || k < 0 || lda < std::max(1, shape.rowsA()) ||
        ldb < std::max(1, shape.rowsB()) || ldc < std::max(1, m) || alpha == nullptr || beta == nullptr) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    return CUBLAS_STATUS_SUCCESS;
}

// Whether a rows x columns matrix with leading dimension ld lies in device memory.
bool isDeviceMatrix(const void* matrix, int rows, int columns, int ld, std::size_t elementBytes) {
    if (rows == 0 || columns == 0) {
        return true;
    }
    const std::size_t extent =
        static_cast<std::size_t>(columns - 1) * static_cast<std::size_t>(ld) + static_cast<std::size_t>(rows);
    return isDeviceRange(matrix, extent * elementBytes);
}

template <class Input, class Accumulator>
bool isDeviceProblem(const GemmShape& shape, const void* a, const void* b, const void* c, bool readsInputs) {
    return isDeviceMatrix(c, shape.m, shape.n, shape.ldc, sizeof(Accumulator)) &&
           (!readsInputs || (isDeviceMatrix(a, shape.rowsA(), shape.columnsA(), shape.lda, sizeof(Input)) &&
                             isDeviceMatrix(b, shape.rowsB(), shape.columnsB(), shape.ldb, sizeof(Input))));
}

// Checking mode: the inputs a product reads must have been written (their first element is checked),
// and C is written by it.
template <class Input, class Accumulator>
cublasStatus_t checkWrittenProblem(const GemmShape& shape, const void* a, const void* b, void* c, bool readsInputs,
                                   bool readsC) {
    if (!checking() || shape.m == 0 || shape.n == 0) {
        return CUBLAS_STATUS_SUCCESS;
    }
    const auto unwritten = [](const void* matrix, std::size_t bytes) {
        return firstUnwritten(matrix, bytes).has_value();
    };
    if ((readsInputs && (unwritten(a, sizeof(Input)) || unwritten(b, sizeof(Input)))) ||
        (readsC && unwritten(c, sizeof(Accumulator)))) {
        recordKernelFault("uninitialised read: a GEMM reads an operand that nothing has written since allocation");
        return CUBLAS_STATUS_EXECUTION_FAILED;
    }
    const std::size_t extent =
        static_cast<std::size_t>(shape.n - 1) * static_cast<std::size_t>(shape.ldc) + static_cast<std::size_t>(shape.m);
    markWritten(c, extent * sizeof(Accumulator));
    return CUBLAS_STATUS_SUCCESS;
}

// Packs op(A) (rows fastest) and op(B) (k fastest in each column), converted by `load`, into
// buffers the calling thread keeps, then multiplies.
template <class Accumulator, class Input, class Load>
void gemm(const GemmShape& shape, Accumulator alpha, const Input* a, const Input* b, Accumulator beta, Accumulator* c,
          Load load) {
    const auto index = [](int row, int column, int ld) {
        return static_cast<std::size_t>(row) + static_cast<std::size_t>(column) * static_cast<std::size_t>(ld);
    };
    if (shape.k == 0 || alpha == Accumulator{0}) {
        for (int column = 0; column < shape.n; ++column) {
            for (int row = 0; row < shape.m; ++row) {
                Accumulator& out = c[index(row, column, shape.ldc)];
                out = beta == Accumulator{0} ? Accumulator{0} : beta * out;
            }
        }
        return;
    }
    thread_local std::vector<Accumulator> packedA;
    thread_local std::vector<Accumulator> packedB;
    packedA.resize(static_cast<std::size_t>(shape.m) * static_cast<std::size_t>(shape.k));
    packedB.resize(static_cast<std::size_t>(shape.k) * static_cast<std::size_t>(shape.n));
    for (int p = 0; p < shape.k; ++p) {
        for (int row = 0; row < shape.m; ++row) {
            packedA[index(row, p, shape.m)] =
                load(shape.transposeA ? a[index(p, row, shape.lda)] : a[index(row, p, shape.lda)]);
        }
    }
    for (int column = 0; column < shape.n; ++column) {
        for (int p = 0; p < shape.k; ++p) {
            packedB[index(p, column, shape.k)] =
                load(shape.transposeB ? b[index(column, p, shape.ldb)] : b[index(p, column, shape.ldb)]);
        }
    }
    packedGemm(shape.m, shape.n, shape.k, alpha, packedA.data(), packedB.data(), beta, c, shape.ldc);
}

}  // namespace

cublasStatus_t cublasCreate_v2(cublasHandle_t* handle) {
    if (const cublasStatus_t status = injected()) {
        return status;
    }
    if (handle == nullptr) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    *handle = createHandle();
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasDestroy_v2(cublasHandle_t handle) {
    return destroyHandle(handle) ? CUBLAS_STATUS_SUCCESS : CUBLAS_STATUS_NOT_INITIALIZED;
}

cublasStatus_t cublasSetStream_v2(cublasHandle_t handle, cudaStream_t stream) {
    if (const cublasStatus_t status = injected()) {
        return status;
    }
    if (!isLiveHandle(handle)) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    handle->stream = stream;
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasSetMathMode(cublasHandle_t handle, cublasMath_t mode) {
    if (const cublasStatus_t status = injected()) {
        return status;
    }
    if (!isLiveHandle(handle)) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    const int base = mode & ~CUBLAS_MATH_DISALLOW_REDUCED_PRECISION_REDUCTION;
    if (base < CUBLAS_DEFAULT_MATH || base > CUBLAS_TF32_TENSOR_OP_MATH) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    handle->mode = mode;
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasDgemm_v2(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                              int k, const double* alpha, const double* A, int lda, const double* B, int ldb,
                              const double* beta, double* C, int ldc) {
    if (const cublasStatus_t status = injected()) {
        return status;
    }
    GemmShape shape{};
    if (const cublasStatus_t status = checkShape(handle, transa, transb, m, n, k, lda, ldb, ldc, alpha, beta, shape)) {
        return status;
    }
    if (!isDeviceProblem<double, double>(shape, A, B, C, k > 0 && *alpha != 0.0)) {
        return CUBLAS_STATUS_EXECUTION_FAILED;
    }
    if (const cublasStatus_t status =
            checkWrittenProblem<double, double>(shape, A, B, C, k > 0 && *alpha != 0.0, *beta != 0.0)) {
        return status;
    }
    gemm(shape, *alpha, A, B, *beta, C, [](double value) { return value; });
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasGemmEx(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                            int k, const void* alpha, const void* A, cudaDataType Atype, int lda, const void* B,
                            cudaDataType Btype, int ldb, const void* beta, void* C, cudaDataType Ctype, int ldc,
                            cublasComputeType_t computeType, cublasGemmAlgo_t algo) {
    if (const cublasStatus_t status = injected()) {
        return status;
    }
    GemmShape shape{};
    if (const cublasStatus_t status = checkShape(handle, transa, transb, m, n, k, lda, ldb, ldc, alpha, beta, shape)) {
        return status;
    }
    const bool floatCompute = computeType == CUBLAS_COMPUTE_32F || computeType == CUBLAS_COMPUTE_32F_PEDANTIC ||
                              computeType == CUBLAS_COMPUTE_32F_FAST_16BF;
    if (Atype != CUDA_R_16BF || Btype != CUDA_R_16BF || Ctype != CUDA_R_32F || !floatCompute ||
        (algo != CUBLAS_GEMM_DEFAULT && algo != CUBLAS_GEMM_DEFAULT_TENSOR_OP)) {
        return CUBLAS_STATUS_NOT_SUPPORTED;
    }
    const float alphaValue = *static_cast<const float*>(alpha);
    const float betaValue = *static_cast<const float*>(beta);
    if (!isDeviceProblem<__nv_bfloat16, float>(shape, A, B, C, k > 0 && alphaValue != 0.0f)) {
        return CUBLAS_STATUS_EXECUTION_FAILED;
    }
    if (const cublasStatus_t status =
            checkWrittenProblem<__nv_bfloat16, float>(shape, A, B, C, k > 0 && alphaValue != 0.0f, betaValue != 0.0f)) {
        return status;
    }
    // A product of two bfloat16 values is exact in float; only the sums round.
    gemm(shape, alphaValue, static_cast<const __nv_bfloat16*>(A), static_cast<const __nv_bfloat16*>(B), betaValue,
         static_cast<float*>(C), [](__nv_bfloat16 value) { return bfloat16BitsToFloat(value.__x); });
    return CUBLAS_STATUS_SUCCESS;
}
