// What a training run's position alone decides: the seeded data order (xorshift64*, one advance
// per draw whatever the dataset size) and the warm-up/decay learning-rate schedule. Both trainers
// use these, so that they draw the same indices and step with the same rates.
#pragma once

#include <cstdint>

#include "training/training_config.h"

namespace Halcyne::Core::Vestra {

// Generator state for a seed: the hash of "transformer.training.data_order" XOR seed, with the
// one fixed point of xorshift (0) replaced by 0x9E3779B97F4A7C15.
[[nodiscard]] std::uint64_t dataOrderInitialState(std::uint64_t seed) noexcept;

// Advances state once and returns an index in [0, datasetSize). A zero datasetSize throws
// std::invalid_argument "dataset size must be positive" and leaves state unchanged.
[[nodiscard]] std::uint64_t advanceDataOrder(std::uint64_t& state, std::uint64_t datasetSize);

// The learning rate of the optimizer step that follows `steps` completed steps.
[[nodiscard]] double scheduledLearningRate(const TransformerTrainingConfig& config, std::uint64_t steps) noexcept;

}  // namespace Halcyne::Core::Vestra
