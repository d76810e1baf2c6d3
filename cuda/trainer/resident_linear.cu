#include "cuda/trainer/resident_linear.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "cuda/kernels/rms_norm_backward.cuh"
#include "cuda/launch.h"
#include "cuda/trainer/device_elementwise.h"
#include "cuda/transformer_cuda_error.h"

namespace Halcyne::Core::Vestra {
namespace {

constinit thread_local ResidentBf16Scope bf16Scope{};

// cuBLAS takes int dimensions; a larger one cannot be passed on.
int gemmDimension(std::uint64_t value) {
    if (value > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
        throw std::overflow_error("resident GEMM dimension exceeds the cuBLAS range");
    }
    return static_cast<int>(value);
}

void requireGemm(cublasStatus_t status, const char* message) {
    if (status != CUBLAS_STATUS_SUCCESS) {
        throw TransformerCudaError(TransformerCudaErrorKind::Blas, message);
    }
}

// C [n, m] row-major = op(A) x op(B) in cuBLAS's column-major terms, FP64.
void dgemm(const TransformerCudaContext& context, cublasOperation_t transA, cublasOperation_t transB, std::uint64_t m,
           std::uint64_t n, std::uint64_t k, const double* a, std::uint64_t lda, const double* b, std::uint64_t ldb,
           double* c, std::uint64_t ldc, const char* failure) {
    const double one = 1.0;
    const double zero = 0.0;
    requireGemm(cublasDgemm_v2(context.cublas, transA, transB, gemmDimension(m), gemmDimension(n), gemmDimension(k),
                               &one, a, gemmDimension(lda), b, gemmDimension(ldb), &zero, c, gemmDimension(ldc)),
                failure);
}

// The same product on bfloat16 inputs with FP32 accumulation and output, on the tensor cores.
// cuBLAS documents bfloat16 inputs with an FP32 output under CUBLAS_COMPUTE_32F, which still runs
// on the tensor cores for such inputs; CUBLAS_COMPUTE_32F_FAST_16BF is meant for FP32 inputs,
// allowing cuBLAS to round them to bfloat16, and is not listed for bfloat16 ones.
void bf16Gemm(const TransformerCudaContext& context, cublasOperation_t transA, cublasOperation_t transB,
              std::uint64_t m, std::uint64_t n, std::uint64_t k, const bfloat16* a, std::uint64_t lda,
              const bfloat16* b, std::uint64_t ldb, float* c, std::uint64_t ldc, const char* failure) {
    const float one = 1.0f;
    const float zero = 0.0f;
    requireGemm(cublasGemmEx(context.cublas, transA, transB, gemmDimension(m), gemmDimension(n), gemmDimension(k), &one,
                             a, CUDA_R_16BF, gemmDimension(lda), b, CUDA_R_16BF, gemmDimension(ldb), &zero, c,
                             CUDA_R_32F, gemmDimension(ldc), CUBLAS_COMPUTE_32F, CUBLAS_GEMM_DEFAULT),
                failure);
}

DeviceBuffer<bfloat16> bf16Copy(const TransformerCudaContext& context, const double* values, std::uint64_t count) {
    DeviceBuffer<bfloat16> copy(context, count);
    launchDoubleToBfloat16(context, values, copy.get(), count);
    return copy;
}

const bfloat16* requireBf16Input(const DeviceBuffer<bfloat16>& inputBf16, std::uint64_t count) {
    if (inputBf16.count() != count) {
        throw std::logic_error("missing BF16 input copy");
    }
    return inputBf16.get();
}

void residentBf16LinearForward(const TransformerCudaContext& context, const bfloat16* input, const bfloat16* mirror,
                               double* output, std::uint64_t rows, std::uint64_t in, std::uint64_t out) {
    const DeviceBuffer<float> result(context, rows * out);
    bf16Gemm(context, CUBLAS_OP_T, CUBLAS_OP_N, out, rows, in, mirror, in, input, in, result.get(), out,
             "resident BF16 forward GEMM failed");
    launchFloatToDouble(context, result.get(), output, rows * out);
}

}  // namespace

ResidentBf16ScopeGuard::ResidentBf16ScopeGuard(bool enabled, ResidentState& state) : previous_(bf16Scope) {
    bf16Scope = enabled ? ResidentBf16Scope{true, &state.bf16TensorCoreGemms, &state.weightViews} : ResidentBf16Scope{};
}

ResidentBf16ScopeGuard::~ResidentBf16ScopeGuard() {
    bf16Scope = previous_;
}

ResidentBf16Scope currentResidentBf16Scope() noexcept {
    return bf16Scope;
}

DeviceBuffer<bfloat16> residentBf16Input(const TransformerCudaContext& context, const DeviceBuffer<double>& input) {
    if (!bf16Scope.enabled) {
        return {};
    }
    return bf16Copy(context, input.get(), input.count());
}

void residentLinearForward(const TransformerCudaContext& context, const double* input,
                           const DeviceBuffer<bfloat16>& inputBf16, const double* weight, double* output,
                           std::uint64_t rows, std::uint64_t in, std::uint64_t out) {
    if (!bf16Scope.enabled) {
        dgemm(context, CUBLAS_OP_T, CUBLAS_OP_N, out, rows, in, weight, in, input, in, output, out,
              "resident training cublasDgemm failed");
        return;
    }
    const auto& views = *bf16Scope.weightViews;
    const auto view =
        std::find_if(views.begin(), views.end(), [&](const ResidentWeightView& v) { return v.weights == weight; });
    if (view == views.end() || view->mirror == nullptr) {
        throw std::logic_error("missing persistent BF16 weight mirror");
    }
    residentBf16LinearForward(context, requireBf16Input(inputBf16, rows * in), view->mirror, output, rows, in, out);
    *bf16Scope.gemmCounter += 1;
}

ResidentGradientPair residentLinearBackward(const TransformerCudaContext& context, const DeviceBuffer<double>& input,
                                            const DeviceBuffer<bfloat16>& inputBf16, const ResidentParameter& parameter,
                                            const DeviceBuffer<double>& gradient, std::uint64_t rows, std::uint64_t in,
                                            std::uint64_t out) {
    ResidentGradientPair result{DeviceBuffer<double>(context, rows * in), DeviceBuffer<double>(context, out * in)};
    if (!bf16Scope.enabled) {
        dgemm(context, CUBLAS_OP_N, CUBLAS_OP_N, in, rows, out, parameter.weights.get(), in, gradient.get(), out,
              result.input.get(), in, "resident dInput cublasDgemm failed");
        dgemm(context, CUBLAS_OP_N, CUBLAS_OP_T, in, out, rows, input.get(), in, gradient.get(), out,
              result.weight.get(), in, "resident dWeight cublasDgemm failed");
        return result;
    }
    const bfloat16* inputCopy = requireBf16Input(inputBf16, rows * in);
    const DeviceBuffer<bfloat16> gradientCopy = bf16Copy(context, gradient.get(), rows * out);
    const DeviceBuffer<float> inputGradient(context, rows * in);
    const DeviceBuffer<float> weightGradient(context, out * in);
    bf16Gemm(context, CUBLAS_OP_N, CUBLAS_OP_N, in, rows, out, parameter.bf16Mirror.get(), in, gradientCopy.get(), out,
             inputGradient.get(), in, "resident BF16 dInput GEMM failed");
    bf16Gemm(context, CUBLAS_OP_N, CUBLAS_OP_T, in, out, rows, inputCopy, in, gradientCopy.get(), out,
             weightGradient.get(), in, "resident BF16 dWeight GEMM failed");
    launchFloatToDouble(context, inputGradient.get(), result.input.get(), rows * in);
    launchFloatToDouble(context, weightGradient.get(), result.weight.get(), out * in);
    *bf16Scope.gemmCounter += 2;
    return result;
}

ResidentGradientPair residentRmsNormBackward(const TransformerCudaContext& context, const DeviceBuffer<double>& input,
                                             const ResidentParameter& parameter, const DeviceBuffer<double>& gradient,
                                             std::uint64_t rows, std::uint64_t width, double epsilon) {
    ResidentGradientPair result{DeviceBuffer<double>(context, rows * width), DeviceBuffer<double>(context, width)};
    const DeviceBuffer<double> inverseRms(context, rows);
    const DeviceBuffer<double> rowDot(context, rows);
    launch<rmsBackwardStatsKernel>(blocksFor(rows, kElementBlock), kElementBlock, 0, context.stream, input.get(),
                                   parameter.weights.get(), gradient.get(), inverseRms.get(), rowDot.get(), rows, width,
                                   epsilon);
    launch<rmsInputGradientKernel>(blocksFor(rows * width, kElementBlock * kThreadElements), kElementBlock, 0,
                                   context.stream, input.get(), parameter.weights.get(), gradient.get(),
                                   inverseRms.get(), rowDot.get(), result.input.get(), rows, width);
    launch<rmsWeightGradientKernel>(blocksFor(width, kElementBlock), kElementBlock, 0, context.stream, input.get(),
                                    gradient.get(), inverseRms.get(), result.weight.get(), rows, width);
    return result;
}

void accumulateResidentGradient(ResidentState& state, std::size_t index, const DeviceBuffer<double>& gradient) {
    ResidentParameter& parameter = state.parameters.at(index);
    if (parameter.count() != gradient.count()) {
        throw std::logic_error("resident gradient shape mismatch");
    }
    launchAccumulate(*state.context, parameter.gradient.get(), gradient.get(), gradient.count());
}

}  // namespace Halcyne::Core::Vestra
