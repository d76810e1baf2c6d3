#include "driver/scenarios/attention_parity.h"

#include <chrono>
#include <cstdint>
#include <vector>

#include "cuda/operators/attention_backward.h"
#include "cuda/operators/embedding_backward.h"
#include "cuda/operators/rope_backward.h"
#include "driver/fixtures.h"
#include "driver/harness.h"
#include "reference/rope.h"

namespace Halcyne::Core::Vestra {
namespace {

void requireRopeParity(const TransformerCudaContext& context) {
    constexpr std::uint64_t kSequence = 3;
    constexpr std::uint64_t kHeads = 2;
    constexpr std::uint64_t kHeadDim = 2;
    constexpr double kBase = 10000.0;
    const Tensor gradient = waveTensor({kSequence, kHeads * kHeadDim}, Wave::Sine, 0.2, 0.27, 0.0);
    // The CPU rotates a query and a key together; the key here only fills the argument.
    Tensor expected = gradient;
    Tensor unused = gradient;
    applyRope(expected, unused, 1, kSequence, kHeads, kHeads, kHeadDim, kBase, 0, true, true);
    const Tensor device = cudaRopeBackward(gradient, 1, kSequence, kHeads, kHeadDim, kBase, context);
    require(maxAbsDifference(device, expected) < 1e-13, "CUDA RoPE backward differs from CPU inverse rotation");
}

void requireAttentionParity(const TransformerCudaContext& context) {
    const AttentionBackwardProblem problem{
        .query = waveTensor({3, 4}, Wave::Sine, 0.3, 0.21, 0.1),
        .key = waveTensor({3, 2}, Wave::Cosine, 0.25, 0.31, 0.2),
        .value = waveTensor({3, 2}, Wave::Sine, 0.4, 0.29, 0.7),
        .outputGradient = waveTensor({3, 4}, Wave::Cosine, 0.2, 0.17, 0.4),
        .batch = 1,
        .sequence = 3,
        .queryHeads = 2,
        .kvHeads = 1,
        .headDim = 2,
        .lengths = {3},
    };
    const AttentionGradients device = cudaAttentionBackward(problem, context);
    const AttentionGradients expected = attentionFiniteDifferences(problem);
    constexpr const char* kMessage = "CUDA attention backward differs from finite differences";
    require(maxAbsDifference(device.query, expected.query) < 2e-9, kMessage);
    require(maxAbsDifference(device.key, expected.key) < 2e-9, kMessage);
    require(maxAbsDifference(device.value, expected.value) < 2e-9, kMessage);
}

void requireEmbeddingParity(const TransformerCudaContext& context) {
    const std::vector<std::uint32_t> tokens = {2, 1, 2, 4, 1};
    constexpr std::uint64_t kVocabulary = 6;
    const Tensor gradient = waveTensor({5, 2}, Wave::Sine, 0.1, 0.41, 0.0);
    Tensor expected(Extents{kVocabulary, 2});
    for (std::uint64_t j = 0; j < tokens.size(); ++j) {
        for (std::uint64_t c = 0; c < 2; ++c) {
            expected.at({tokens[j], c}) += gradient.at({j, c});
        }
    }
    const Tensor device = cudaEmbeddingBackward(tokens, gradient, kVocabulary, context);
    require(maxAbsDifference(device, expected) < 1e-14, "CUDA embedding backward differs from CPU scatter");
}

}  // namespace

void verifyAttentionRopeEmbeddingBackward(const TransformerCudaContext& context) {
    requireRopeParity(context);
    requireAttentionParity(context);
    requireEmbeddingParity(context);
}

AttentionBackwardProblem attentionProblemAtContext64() {
    return {
        .query = waveTensor({64, 48}, Wave::Sine, 0.03, 0.021, 0.0),
        .key = waveTensor({64, 16}, Wave::Cosine, 0.025, 0.031, 0.0),
        .value = waveTensor({64, 16}, Wave::Sine, 0.04, 0.029, 0.0),
        .outputGradient = waveTensor({64, 48}, Wave::Cosine, 0.02, 0.017, 0.0),
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
