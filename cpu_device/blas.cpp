// The cuBLAS calls of the CPU device. Every element of C is summed over k in index order from
// zero (cpu_device/packed_gemm.h), whichever transposes the call names and however many threads
// share the product, so the same inputs give the same bits. cublasGemmEx takes only the type
// combinations of kGemmExTypes.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "cpu_device/bfloat16_rounding.h"
#include "cpu_device/cublas_v2.h"
#include "cpu_device/cuda_bf16.h"
#include "cpu_device/device_state.h"
#include "cpu_device/device_times.h"
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

template <class Input, class Output>
bool isDeviceProblem(const GemmShape& shape, const void* a, const void* b, const void* c, bool readsInputs) {
    return isDeviceMatrix(c, shape.m, shape.n, shape.ldc, sizeof(Output)) &&
           (!readsInputs || (isDeviceMatrix(a, shape.rowsA(), shape.columnsA(), shape.lda, sizeof(Input)) &&
                             isDeviceMatrix(b, shape.rowsB(), shape.columnsB(), shape.ldb, sizeof(Input))));
}

// Checking mode: the byte offset, from the matrix's start, of the first element of a rows x columns
// matrix with leading dimension ld that nothing has written; every element is looked at, one column
// at a time, and nothing between columns.
std::optional<std::size_t> firstUnwrittenElement(const void* matrix, int rows, int columns, int ld,
                                                 std::size_t elementBytes) {
    const auto columnBytes = static_cast<std::size_t>(ld) * elementBytes;
    for (int column = 0; column < columns; ++column) {
        const std::size_t offset = static_cast<std::size_t>(column) * columnBytes;
        if (const auto unwritten = firstUnwritten(static_cast<const unsigned char*>(matrix) + offset,
                                                  static_cast<std::size_t>(rows) * elementBytes)) {
            return offset + *unwritten;
        }
    }
    return std::nullopt;
}

// Checking mode: every element a product reads must have been written, and C is written by it.
template <class Input, class Output>
cublasStatus_t checkWrittenProblem(const GemmShape& shape, const void* a, const void* b, void* c, bool readsInputs,
                                   bool readsC) {
    if (!checking() || shape.m == 0 || shape.n == 0) {
        return CUBLAS_STATUS_SUCCESS;
    }
    struct Operand {
        const char* name;
        const void* matrix;
        int rows;
        int columns;
        int ld;
        std::size_t elementBytes;
        bool read;
    };
    const Operand operands[] = {
        {"A", a, shape.rowsA(), shape.columnsA(), shape.lda, sizeof(Input), readsInputs},
        {"B", b, shape.rowsB(), shape.columnsB(), shape.ldb, sizeof(Input), readsInputs},
        {"C", c, shape.m, shape.n, shape.ldc, sizeof(Output), readsC},
    };
    for (const Operand& operand : operands) {
        if (!operand.read) {
            continue;
        }
        if (const auto unwritten = firstUnwrittenElement(operand.matrix, operand.rows, operand.columns, operand.ld,
                                                         operand.elementBytes)) {
            recordKernelFault("uninitialised read: a GEMM reads byte " + std::to_string(*unwritten) + " of operand " +
                              operand.name + ", which nothing has written since allocation");
            return CUBLAS_STATUS_EXECUTION_FAILED;
        }
    }
    for (int column = 0; column < shape.n; ++column) {
        markWritten(static_cast<unsigned char*>(c) +
                        static_cast<std::size_t>(column) * static_cast<std::size_t>(shape.ldc) * sizeof(Output),
                    static_cast<std::size_t>(shape.m) * sizeof(Output));
    }
    return CUBLAS_STATUS_SUCCESS;
}

std::size_t elementIndex(int row, int column, int ld) {
    return static_cast<std::size_t>(row) + static_cast<std::size_t>(column) * static_cast<std::size_t>(ld);
}

// Every element type an operand may have, widened exactly to the accumulator type.
float widen(__nv_bfloat16 value) {
    return bfloat16BitsToFloat(value.__x);
}
float widen(float value) {
    return value;
}
double widen(double value) {
    return value;
}

// The operand itself when it is already in the accumulator type, else null.
template <class Accumulator, class Input>
const Accumulator* inAccumulatorType(const Input* matrix) {
    if constexpr (std::is_same_v<Accumulator, Input>) {
        return matrix;
    } else {
        return nullptr;
    }
}

// out(i, j) = op(in)(i, j), widened, for i < rows and j < columns: both column-major, `in` with
// leading dimension ld, `out` with `rows`. Written in order; an operand that is not transposed is
// read in order too, a transposed one in tiles of 8 x 8, so that the strided reads of a tile share
// the cache lines that its neighbours read.
template <class Accumulator, class Input>
void widenInto(const Input* in, int ld, bool transposed, int rows, int columns, Accumulator* out) {
    if (!transposed) {
        for (int j = 0; j < columns; ++j) {
            const Input* source = in + elementIndex(0, j, ld);
            Accumulator* column = out + elementIndex(0, j, rows);
            for (int i = 0; i < rows; ++i) {
                column[i] = widen(source[i]);
            }
        }
        return;
    }
    constexpr int kTile = 8;
    for (int j0 = 0; j0 < columns; j0 += kTile) {
        const int j1 = std::min(columns, j0 + kTile);
        for (int i0 = 0; i0 < rows; i0 += kTile) {
            const int i1 = std::min(rows, i0 + kTile);
            for (int j = j0; j < j1; ++j) {
                for (int i = i0; i < i1; ++i) {
                    out[elementIndex(i, j, rows)] = widen(in[elementIndex(j, i, ld)]);
                }
            }
        }
    }
}

// The operands as the tiles read them: op(A) with its rows side by side and op(B) through its two
// strides. Operands already in the accumulator type are read where they lie, except a transposed A,
// which is packed (rows fastest) into a buffer the calling thread keeps; narrower ones are widened
// into such buffers, B with k fastest in each column.
template <class Accumulator, class Input>
GemmOperands<Accumulator> operandsOf(const GemmShape& shape, const Input* a, const Input* b, Accumulator* c) {
    GemmOperands<Accumulator> operands{};
    operands.c = c;
    operands.ldc = static_cast<std::size_t>(shape.ldc);
    const Accumulator* direct = inAccumulatorType<Accumulator>(a);
    if (direct != nullptr && !shape.transposeA) {
        operands.a = direct;
        operands.lda = static_cast<std::size_t>(shape.lda);
    } else {
        thread_local std::vector<Accumulator> packedA;
        packedA.resize(static_cast<std::size_t>(shape.m) * static_cast<std::size_t>(shape.k));
        widenInto(a, shape.lda, shape.transposeA, shape.m, shape.k, packedA.data());
        operands.a = packedA.data();
        operands.lda = static_cast<std::size_t>(shape.m);
    }
    if (const Accumulator* directB = inAccumulatorType<Accumulator>(b); directB != nullptr) {
        operands.b = directB;
        operands.depthStride = shape.transposeB ? static_cast<std::size_t>(shape.ldb) : 1;
        operands.columnStride = shape.transposeB ? 1 : static_cast<std::size_t>(shape.ldb);
    } else {
        thread_local std::vector<Accumulator> packedB;
        packedB.resize(static_cast<std::size_t>(shape.k) * static_cast<std::size_t>(shape.n));
        widenInto(b, shape.ldb, shape.transposeB, shape.k, shape.n, packedB.data());
        operands.b = packedB.data();
        operands.depthStride = 1;
        operands.columnStride = static_cast<std::size_t>(shape.k);
    }
    return operands;
}

template <class Accumulator, class Input>
void gemm(const GemmShape& shape, Accumulator alpha, const Input* a, const Input* b, Accumulator beta, Accumulator* c) {
    if (shape.k == 0 || alpha == Accumulator{0}) {
        for (int column = 0; column < shape.n; ++column) {
            for (int row = 0; row < shape.m; ++row) {
                Accumulator& out = c[elementIndex(row, column, shape.ldc)];
                out = beta == Accumulator{0} ? Accumulator{0} : beta * out;
            }
        }
        return;
    }
    tiledGemm(shape.m, shape.n, shape.k, alpha, beta, operandsOf(shape, a, b, c));
}

// A bfloat16 C is computed in float, as cuBLAS does, and rounded once at the end (nearest, ties to
// even). With beta == 0 its widened copy is not read.
template <class Input>
void gemm(const GemmShape& shape, float alpha, const Input* a, const Input* b, float beta, __nv_bfloat16* c) {
    thread_local std::vector<float> wide;
    GemmShape inFloat = shape;
    inFloat.ldc = std::max(1, shape.m);
    wide.resize(static_cast<std::size_t>(inFloat.ldc) * static_cast<std::size_t>(shape.n));
    for (int column = 0; column < shape.n; ++column) {
        for (int row = 0; row < shape.m; ++row) {
            wide[elementIndex(row, column, inFloat.ldc)] = widen(c[elementIndex(row, column, shape.ldc)]);
        }
    }
    gemm(inFloat, alpha, a, b, beta, wide.data());
    for (int column = 0; column < shape.n; ++column) {
        for (int row = 0; row < shape.m; ++row) {
            c[elementIndex(row, column, shape.ldc)].__x =
                doubleToBfloat16Bits(wide[elementIndex(row, column, inFloat.ldc)]);
        }
    }
}

// C = alpha * op(A) * op(B) + beta * C with alpha and beta read as Scale, the type the products are
// summed in, once the shape has passed the BLAS checks.
template <class Scale, class Input, class Output>
cublasStatus_t multiply(const GemmShape& shape, const void* alpha, const void* a, const void* b, const void* beta,
                        void* c) {
    const Scale alphaValue = *static_cast<const Scale*>(alpha);
    const Scale betaValue = *static_cast<const Scale*>(beta);
    const bool readsInputs = shape.k > 0 && alphaValue != Scale{0};
    if (!isDeviceProblem<Input, Output>(shape, a, b, c, readsInputs)) {
        return CUBLAS_STATUS_EXECUTION_FAILED;
    }
    if (const cublasStatus_t status =
            checkWrittenProblem<Input, Output>(shape, a, b, c, readsInputs, betaValue != Scale{0})) {
        return status;
    }
    const DeviceTimer timer(DeviceTimer::Kind::Gemm);
    gemm(shape, alphaValue, static_cast<const Input*>(a), static_cast<const Input*>(b), betaValue,
         static_cast<Output*>(c));
    return CUBLAS_STATUS_SUCCESS;
}

// One combination of types cublasGemmEx takes: how it computes, the type alpha and beta are read
// as, the type of A and of B, and the type of C.
struct GemmExTypes {
    cublasComputeType_t compute;
    cudaDataType scale;
    cudaDataType inputs;
    cudaDataType output;
};

// The rows of the table of supported type combinations in cuBLAS's documentation of cublasGemmEx
// that the stand-in computes. cuBLAS answers a combination its table does not list with
// CUBLAS_STATUS_NOT_SUPPORTED, and the stand-in one that this subset does not list: the documented
// rows with FP16, int8 or complex operands (every CUBLAS_COMPUTE_16F and CUBLAS_COMPUTE_32I row
// among them) are refused here too. Bfloat16 inputs are listed under CUBLAS_COMPUTE_32F and its
// pedantic twin only; the FAST_ compute types are for FP32 inputs, which they allow cuBLAS to round
// to a narrower type first. The stand-in never rounds them: allowed is not required.
constexpr std::array kGemmExTypes{
    GemmExTypes{CUBLAS_COMPUTE_32F, CUDA_R_32F, CUDA_R_16BF, CUDA_R_16BF},
    GemmExTypes{CUBLAS_COMPUTE_32F, CUDA_R_32F, CUDA_R_16BF, CUDA_R_32F},
    GemmExTypes{CUBLAS_COMPUTE_32F, CUDA_R_32F, CUDA_R_32F, CUDA_R_32F},
    GemmExTypes{CUBLAS_COMPUTE_32F_PEDANTIC, CUDA_R_32F, CUDA_R_16BF, CUDA_R_16BF},
    GemmExTypes{CUBLAS_COMPUTE_32F_PEDANTIC, CUDA_R_32F, CUDA_R_16BF, CUDA_R_32F},
    GemmExTypes{CUBLAS_COMPUTE_32F_PEDANTIC, CUDA_R_32F, CUDA_R_32F, CUDA_R_32F},
    GemmExTypes{CUBLAS_COMPUTE_32F_FAST_16F, CUDA_R_32F, CUDA_R_32F, CUDA_R_32F},
    GemmExTypes{CUBLAS_COMPUTE_32F_FAST_16BF, CUDA_R_32F, CUDA_R_32F, CUDA_R_32F},
    GemmExTypes{CUBLAS_COMPUTE_32F_FAST_TF32, CUDA_R_32F, CUDA_R_32F, CUDA_R_32F},
    GemmExTypes{CUBLAS_COMPUTE_64F, CUDA_R_64F, CUDA_R_64F, CUDA_R_64F},
    GemmExTypes{CUBLAS_COMPUTE_64F_PEDANTIC, CUDA_R_64F, CUDA_R_64F, CUDA_R_64F},
};

const GemmExTypes* findGemmExTypes(cublasComputeType_t compute, cudaDataType a, cudaDataType b, cudaDataType c) {
    const auto* row = std::find_if(kGemmExTypes.begin(), kGemmExTypes.end(), [&](const GemmExTypes& types) {
        return types.compute == compute && types.inputs == a && types.inputs == b && types.output == c;
    });
    return row == kGemmExTypes.end() ? nullptr : row;
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
    return multiply<double, double, double>(shape, alpha, A, B, beta, C);
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
    const GemmExTypes* types = findGemmExTypes(computeType, Atype, Btype, Ctype);
    // The numbered algorithms (0 to 23, and 100 to 115 for tensor operations) are deprecated hints
    // that cuBLAS still takes, computing the same product; any other value is refused.
    const bool knownAlgorithm = algo == CUBLAS_GEMM_DEFAULT || (algo >= 0 && algo <= 23) ||
                                (algo >= CUBLAS_GEMM_DEFAULT_TENSOR_OP && algo <= 115);
    if (types == nullptr || !knownAlgorithm) {
        return CUBLAS_STATUS_NOT_SUPPORTED;
    }
    if (types->scale == CUDA_R_64F) {
        return multiply<double, double, double>(shape, alpha, A, B, beta, C);
    }
    if (types->inputs == CUDA_R_32F) {
        return multiply<float, float, float>(shape, alpha, A, B, beta, C);
    }
    return types->output == CUDA_R_32F ? multiply<float, __nv_bfloat16, float>(shape, alpha, A, B, beta, C)
                                       : multiply<float, __nv_bfloat16, __nv_bfloat16>(shape, alpha, A, B, beta, C);
}
