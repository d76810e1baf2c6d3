// The whole-model device backward against the CPU tape backward on shapes the scenarios leave out
// (several layers, GELU and SwiGLU, untied embeddings, grouped KV heads, rows of different lengths,
// loss masks), and its refusals before any device work.
#include "cuda/operators/model_backward.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "cuda/transformer_cuda_session.h"
#include "reference/cross_entropy.h"
#include "reference/tape.h"
#include "support/compare.h"
#include "support/device_operation.h"
#include "support/spec_variants.h"
#include "support/trainers.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::SpecShape;
using Testing::tensorsNear;

double largestMagnitude(const Tensor& tensor) {
    double largest = 0.0;
    for (const double value : tensor.values) {
        largest = std::max(largest, std::abs(value));
    }
    return largest;
}

// Agreement to 1e-12 of the expected tensor's largest magnitude (at least 1e-12 absolute).
::testing::AssertionResult relativelyNear(const Tensor& got, const Tensor& expected) {
    return tensorsNear(got, expected, 1e-12 * std::max(1.0, largestMagnitude(expected)));
}

struct BackwardCase {
    std::string name;
    SpecShape shape;
    std::uint64_t rows;
    std::uint64_t width;
    std::vector<std::uint64_t> lengths;
    std::vector<std::uint8_t> lossMask;
};

TEST(CudaModelBackward, MatchesTheCpuTapeBackward) {
    const std::vector<BackwardCase> cases = {
        {"two layers, SwiGLU, untied, GQA 4/2, lengths 5, 0, 3", {}, 3, 5, {5, 0, 3}, {}},
        {"three layers, GELU, tied, masked",
         {.layers = 3, .feedForward = FeedForwardKind::Gelu, .tiedEmbeddings = true},
         2,
         4,
         {},
         {1, 0, 1, 1, 0, 0, 1, 0}},
        {"one KV head per query head, mask of zeros", {.kvHeads = 4}, 2, 3, {3, 2}, std::vector<std::uint8_t>(6, 0)},
    };
    const TransformerCudaSession session(0);
    for (const BackwardCase& c : cases) {
        SCOPED_TRACE(c.name);
        const TransformerSpec spec = Testing::variantSpec(c.shape);
        const TransformerWeights weights = Testing::variantWeights(spec);
        std::vector<std::uint32_t> tokens(c.rows * c.width);
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            tokens[i] = static_cast<std::uint32_t>((3 * i + 1) % spec.vocabulary);
        }
        TokenBatch batch = Testing::tokenRows(c.rows, c.width, tokens);
        batch.lengths = c.lengths;
        batch.lossMask = c.lossMask;
        const std::vector<std::uint32_t> targets = Testing::successors(batch, spec.vocabulary);

        const TransformerForwardTape tape = gradientForward(spec, weights, batch);
        const CrossEntropyResult loss = crossEntropy(tape.logits(), batch, targets);
        const TransformerGradients expected = transformerBackward(tape, loss.logitsGradient);
        const CudaModelBackwardResult got = cudaModelBackward(spec, weights, batch, targets, session.context());

        EXPECT_NEAR(got.loss, loss.loss, 1e-12 * std::max(1.0, std::abs(loss.loss)));
        ASSERT_EQ(got.gradients.layers.size(), spec.layers);
        forEachWeightTensor(expected, [&](const WeightSlot& slot, const Tensor& gradient) {
            EXPECT_TRUE(relativelyNear(weightSlotMember(got.gradients, slot), gradient)) << canonicalTensorName(slot);
        });
        EXPECT_EQ(got.gradients.output_embedding.empty(), spec.tied_embeddings);
        EXPECT_TRUE(relativelyNear(got.inputEmbeddingGradient, expected.inputEmbeddings));
        if (std::ranges::all_of(c.lossMask, [](std::uint8_t m) { return m == 0; }) && !c.lossMask.empty()) {
            EXPECT_EQ(got.loss, 0.0);
            forEachWeightTensor(got.gradients, [](const WeightSlot&, const Tensor& gradient) {
                EXPECT_EQ(largestMagnitude(gradient), 0.0);
            });
        }
    }
}

TEST(CudaModelBackward, RefusesMalformedInputsBeforeAnyDeviceWork) {
    const TransformerSpec spec = Testing::tinySpec();
    const TransformerWeights weights = randomWeights(spec);
    const TokenBatch batch = Testing::tokenRows(1, 3, {1, 2, 3});
    const std::vector<std::uint32_t> targets = {2, 3, 4};
    const auto backward = [&](TokenBatch b, std::vector<std::uint32_t> t, TransformerWeights w) {
        return [=, &spec](const TransformerCudaContext& context) { (void)cudaModelBackward(spec, w, b, t, context); };
    };
    TransformerWeights oneLayerMore = weights;
    oneLayerMore.layers.push_back(weights.layers[0]);
    TokenBatch tooWide = Testing::tokenRows(1, spec.context + 1, std::vector<std::uint32_t>(spec.context + 1, 1));
    TokenBatch paddedBadToken = batch;
    paddedBadToken.lengths = {2};
    paddedBadToken.tokens[2] = spec.vocabulary;

    const std::string mismatch = "CUDA model backward input mismatch";
    const TransformerCudaSession session(0);
    for (const auto& [message, call] : std::vector<std::pair<std::string, Testing::DeviceCall>>{
             {mismatch, backward(tooWide, std::vector<std::uint32_t>(spec.context + 1, 1), weights)},
             {mismatch, backward(Testing::tokenRows(0, 3, {}), {}, weights)},
             {mismatch, backward(batch, {2, 3}, weights)},
             {mismatch, backward(batch, targets, oneLayerMore)},
             {"CUDA embedding token exceeds vocabulary", backward(paddedBadToken, targets, weights)},
         }) {
        Testing::expectRefusedBeforeDeviceWork(call, session.context(), message);
    }
    // The context is first checked by the first device function, after the host forward.
    Testing::expectIncompleteContextRefused({"model backward", backward(batch, targets, weights), {}, "", 1, ""});
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
