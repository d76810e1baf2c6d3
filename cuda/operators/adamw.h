// One AdamW step for one weight tensor on the device, with the optimizer state kept by the caller
// on the host. Each call uploads, updates, downloads and synchronises; nothing stays on the device.
#pragma once

#include <cstdint>

#include "core/tensor.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

// The AdamW coefficients: the first five members of TransformerTrainingConfig, in its order and
// with its defaults.
struct CudaAdamWConfig {
    double learning_rate = 0.001;
    double beta1 = 0.9;
    double beta2 = 0.999;
    double epsilon = 1e-8;
    double weight_decay = 0.01;
};

// A default state (no moments, step 0) is valid: the first call gives it zero moments shaped like
// the weights.
struct CudaAdamWState {
    Tensor firstMoment;
    Tensor secondMoment;
    std::uint64_t step = 0;  // updates applied so far
};

// learning_rate > 0, 0 <= beta1 < 1, 0 <= beta2 < 1 and epsilon > 0, each false for NaN; the weight
// decay is not checked.
[[nodiscard]] bool isValidAdamWConfig(const CudaAdamWConfig& configuration);

// Updates weights and state in place. Argument errors are std::invalid_argument, thrown before any
// device work: "CUDA AdamW gradient shape mismatch", "CUDA AdamW state shape mismatch", "invalid
// CUDA AdamW configuration" (unless isValidAdamWConfig). The step count advances once the uploads have succeeded, so a
// device failure from the launch on leaves it advanced and the downloaded tensors undefined.
void cudaAdamW(Tensor& weights, const Tensor& gradient, CudaAdamWState& state, const CudaAdamWConfig& configuration,
               const TransformerCudaContext& context);

}  // namespace Halcyne::Core::Vestra
