#include "driver/scenarios/attention_parity.h"

#include <chrono>
#include <cmath>
#include <cstdint>

#include "cuda/operators/attention_backward.h"
#include "driver/harness.h"

namespace Halcyne::Core::Vestra {
namespace {

// Element i (row-major) = amplitude * wave(frequency * i + phase), wave being sin or cos.
Tensor waveTensor(Extents shape, double amplitude, double (*wave)(double), double frequency, double phase) {
    Tensor tensor(std::move(shape));
    for (std::size_t i = 0; i < tensor.values.size(); ++i) {
        tensor.values[i] = amplitude * wave(frequency * static_cast<double>(i) + phase);
    }
    return tensor;
}

double sine(double x) {
    return std::sin(x);
}
double cosine(double x) {
    return std::cos(x);
}

void verifyAttentionBackward(const TransformerCudaContext& context) {
    AttentionBackwardProblem problem{
        .query = waveTensor({3, 4}, 0.3, sine, 0.21, 0.1),
        .key = waveTensor({3, 2}, 0.25, cosine, 0.31, 0.2),
        .value = waveTensor({3, 2}, 0.4, sine, 0.29, 0.7),
        .outputGradient = waveTensor({3, 4}, 0.2, cosine, 0.17, 0.4),
        .batch = 1,
        .sequence = 3,
        .queryHeads = 2,
        .kvHeads = 1,
        .headDim = 2,
        .lengths = {3},
    };
    const AttentionGradients device = cudaAttentionBackward(problem, context);
    const AttentionGradients expected = attentionFiniteDifferences(problem);
    // Central differences with a 1e-5 step leave a truncation error near 1e-11 at these scales.
    constexpr double kTolerance = 2e-9;
    constexpr const char* kMessage = "CUDA attention backward differs from finite differences";
    require(maxAbsDifference(device.query, expected.query) < kTolerance, kMessage);
    require(maxAbsDifference(device.key, expected.key) < kTolerance, kMessage);
    require(maxAbsDifference(device.value, expected.value) < kTolerance, kMessage);
}

}  // namespace

void verifyAttentionRopeEmbeddingBackward(const TransformerCudaContext& context) {
    verifyAttentionBackward(context);
}

AttentionBackwardProblem attentionProblemAtContext64() {
    return {
        .query = waveTensor({64, 48}, 0.03, sine, 0.021, 0.0),
        .key = waveTensor({64, 16}, 0.025, cosine, 0.031, 0.0),
        .value = waveTensor({64, 16}, 0.04, sine, 0.029, 0.0),
        .outputGradient = waveTensor({64, 48}, 0.02, cosine, 0.017, 0.0),
        .batch = 1,
        .sequence = 64,
        .queryHeads = 6,
        .kvHeads = 2,
        .headDim = 8,
        .lengths = {64},
    };
}

void verifyAttentionBackwardAtContext64(const TransformerCudaContext& context, std::ostream& out) {
    const AttentionBackwardProblem problem = attentionProblemAtContext64();
    const auto start = std::chrono::steady_clock::now();
    const AttentionGradients gradients = cudaAttentionBackward(problem, context);
    const auto end = std::chrono::steady_clock::now();
    const std::int64_t milliseconds = elapsedMilliseconds(start, end);
    require(gradients.query.values.size() == problem.query.values.size() && milliseconds < 30000,
            "optimized CUDA attention backward is not usable at context 64");
    out << " attention64_ms=" << milliseconds;
}

}  // namespace Halcyne::Core::Vestra
