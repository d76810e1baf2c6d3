// Text generation from a model, one byte token at a time: the model reads the last `context`
// tokens, and the next token is drawn from its last logits row in a fixed order: the k most likely
// byte tokens are kept (the special tokens are never drawn), the softmax of their logits divided by
// the temperature is taken, and of those the smallest most-likely-first head whose probability
// reaches top-p is kept. The draw uses its own seeded generator, one number per token, so a seed
// gives the same text on every run and platform.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "core/transformer_model.h"

namespace Halcyne::Core::Vestra::Cli {

struct SamplingOptions {
    std::uint64_t tokens = 200;  // tokens to generate
    double temperature = 0.8;    // 0 always takes the most likely token
    std::uint32_t topK = 40;     // 0 keeps every byte token
    double topP = 1.0;           // in (0, 1]; 1 keeps every token top-k kept
    std::uint64_t seed = 1;
};

// What a sample continues when it is given no prompt: a newline, so that a model of lines of text
// begins a line of its own.
inline constexpr std::string_view defaultPrompt = "\n";

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
