// The inputs the parity scenarios share: the fixture specification with its deterministic sine
// weights and model, the seeded random weights, the community specification, the common batch and
// training configuration, and the comparison of two weight-shaped sets.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/tensor.h"
#include "core/transformer_model.h"
#include "core/transformer_spec.h"
#include "core/transformer_weights.h"
#include "reference/token_batch.h"
#include "training/training_config.h"

namespace Halcyne::Core::Vestra {

// Vocabulary 258, context 64, one layer, model_dim 8, ffn_dim 16, two query heads of width 4 over
// one KV head, RoPE base 10000, RMSNorm epsilon 1e-5, SwiGLU, tied embeddings, ports "tokens" and
// "logits".
[[nodiscard]] TransformerSpec fixtureSpec();

// The fixture's shape at community scale: 3 layers, model_dim 48, ffn_dim 128, 6 query heads of
// width 8 over 2 KV heads; otherwise as fixtureSpec.
[[nodiscard]] TransformerSpec communitySpec();

// The hand-made inputs of the scenarios: element i (row-major, from 0) = amplitude * sin or cos of
// (frequency * i + phase).
enum class Wave { Sine, Cosine };
[[nodiscard]] Tensor waveTensor(Extents shape, Wave wave, double amplitude, double frequency, double phase);

// Element i (row-major) = 0.03 * sin(0.13 * i + seed).
[[nodiscard]] Tensor sineTensor(Extents shape, double seed);

// Every tensor of fixtureSpec a sineTensor with its own seed; the three norms get 1.0 added.
[[nodiscard]] TransformerWeights fixtureWeights();

// fixtureSpec and fixtureWeights as a model built for the byte tokenizer.
[[nodiscard]] std::shared_ptr<const TransformerModel> fixtureModel();

// xorshift64* stream seeded with seed * 0xbf58476d1ce4e5b9 ^ 0x9e3779b97f4a7c15; each draw is
// uniform in [-scale, scale).
class FixtureRandom {
  public:
    explicit FixtureRandom(std::uint64_t seed) noexcept;
    [[nodiscard]] double next(double scale) noexcept;
    [[nodiscard]] std::uint64_t state() const noexcept { return state_; }

  private:
    std::uint64_t state_;
};

// A tensor filled in row-major order from one FixtureRandom stream.
[[nodiscard]] Tensor uniformTensor(Extents shape, std::uint64_t seed, double scale);
// uniformTensor with scale sqrt(6 / (fanA + fanB)).
[[nodiscard]] Tensor xavierTensor(Extents shape, std::uint64_t seed, std::uint64_t fanA, std::uint64_t fanB);
// xavierTensor with every element then multiplied by 1 / sqrt(2 * layers).
[[nodiscard]] Tensor scaledXavierTensor(Extents shape, std::uint64_t seed, std::uint64_t fanA, std::uint64_t fanB,
                                        std::uint64_t layers);

// Seeded weights for any spec: uniform embeddings, unit norms, Xavier projections (the output
// projections scaled by depth); ffn_gate is built for every feed-forward kind.
[[nodiscard]] TransformerWeights randomWeights(const TransformerSpec& spec);

// One row of width 4 holding tokens 1, 2, 3, 4, no lengths, no loss mask; and its targets 2, 3, 4, 5.
[[nodiscard]] TokenBatch commonBatch();
[[nodiscard]] std::vector<std::uint32_t> commonTargets();

// The default training configuration with dataset_hash set to the scenario's name.
[[nodiscard]] TransformerTrainingConfig scenarioTrainingConfig(std::string datasetHash);

// Largest element difference over two weight-shaped sets (weights or gradients). Throws
// std::runtime_error "model gradient shape differs: <label>" on the first shape mismatch and
// "model layer counts differ" when the layer lists differ in length.
[[nodiscard]] double maxModelDifference(const TransformerWeights& a, const TransformerWeights& b);

}  // namespace Halcyne::Core::Vestra
