// Text generation from a model, one byte token at a time: the model reads the last `context`
// tokens, and the next token is drawn from the softmax of its last logits row divided by the
// temperature, over the k most likely byte tokens (the special tokens are never drawn). The draw
// uses its own seeded generator, so a seed gives the same text on every run and platform.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/transformer_model.h"

namespace Halcyne::Core::Vestra::Cli {

struct SamplingOptions {
    std::uint64_t tokens = 200;  // tokens to generate
    double temperature = 0.8;    // 0 always takes the most likely token
    std::uint32_t topK = 40;     // 0 keeps every byte token
    std::uint64_t seed = 1;
};

// SplitMix64: a 64-bit state stepped by a constant, each output a mix of the state.
class SampleRandom {
  public:
    explicit SampleRandom(std::uint64_t seed) noexcept : state_(seed) {}
    // Uniform in [0, 1), 53 bits.
    [[nodiscard]] double unit() noexcept;

  private:
    std::uint64_t state_;
};

// The token drawn from one row of logits (the full vocabulary).
[[nodiscard]] std::uint32_t drawToken(std::span<const double> logits, const SamplingOptions& options,
                                      SampleRandom& random);

// The generated tokens after a non-empty prompt; `emit`, when set, receives each as it is drawn.
[[nodiscard]] std::vector<std::uint32_t> sampleTokens(const TransformerModel& model,
                                                      std::span<const std::uint32_t> prompt,
                                                      const SamplingOptions& options,
                                                      const std::function<void(std::uint32_t)>& emit = {});

}  // namespace Halcyne::Core::Vestra::Cli
