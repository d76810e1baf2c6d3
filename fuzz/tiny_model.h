// Tiny models for the fuzz targets: the tests' specification shapes, with deterministic weights (a
// sine per tensor, norms near 1) and configuration built here so that the targets need the host
// library alone.
#pragma once

#include <cmath>

#include "core/transformer_weights.h"
#include "tests/support/spec_shape.h"
#include "training/training_config.h"

namespace Halcyne::Core::Vestra::Fuzzing {

// Vocabulary 6, context 4, one layer of two query heads of width 2 over one KV head, SwiGLU, untied.
inline constexpr Testing::SpecShape kTinyShape{
    .vocabulary = 6, .context = 4, .layers = 1, .queryHeads = 2, .kvHeads = 1, .headDim = 2, .ffnDim = 4};

// Weights of the spec's shapes; the spec must be valid.
inline TransformerWeights tinyWeights(const TransformerSpec& spec) {
    TransformerWeights weights = zeroWeights(spec);
    double seed = 0.5;
    forEachWeightTensor(weights, [&](const WeightSlot& slot, Tensor& tensor) {
        for (std::size_t i = 0; i < tensor.values.size(); ++i) {
            const double wave = 0.3 * std::sin(0.37 * static_cast<double>(i) + seed);
            tensor.values[i] = slot.decays ? wave : 1.0 + wave;
        }
        seed += 0.7;
    });
    return weights;
}

inline TransformerTrainingConfig tinyConfig() {
    TransformerTrainingConfig config;
    config.warmup_steps = 2;
    config.decay_steps = 10;
    config.seed = 7;
    config.dataset_hash = "fuzz";
    return config;
}

}  // namespace Halcyne::Core::Vestra::Fuzzing
