// The two shapes the training benchmarks measure, each with FP64 and with BF16 products: `vestra
// train`'s default model and batch (2 layers, width 64, 4 heads of 16 over 2 KV heads, SwiGLU 128,
// 16 windows of 64 tokens), and a big one (4 layers, width 128, 8 heads of 16 over 2, SwiGLU 384,
// 16 windows of 128 tokens).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "cli/command_line.h"
#include "core/transformer_spec.h"

namespace Halcyne::Core::Vestra {

struct TrainingShape {
    std::string name;  // "default fp64", "wide bf16", ...
    TransformerSpec spec;
    std::uint32_t batch;  // windows per step

    [[nodiscard]] std::uint64_t tokensPerStep() const { return std::uint64_t{batch} * spec.context; }
};

inline TrainingShape trainingShape(bool big, bool bf16) {
    TransformerSpec spec = Cli::defaultModelSpec();
    const std::uint32_t batch = 16;
    if (big) {
        spec.layers = 4;
        spec.model_dim = 128;
        spec.query_heads = 8;
        spec.kv_heads = 2;
        spec.head_dim = 16;
        spec.ffn_dim = 384;
        spec.context = 128;
    }
    spec.precision.activations = bf16 ? PrecisionKind::Bf16 : PrecisionKind::Float64;
    return {std::string(big ? "big" : "default") + (bf16 ? " bf16" : " fp64"), spec, batch};
}

inline std::array<TrainingShape, 4> trainingShapes() {
    return {trainingShape(false, false), trainingShape(false, true), trainingShape(true, false),
            trainingShape(true, true)};
}

}  // namespace Halcyne::Core::Vestra
