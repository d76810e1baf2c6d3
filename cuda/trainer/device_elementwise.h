// Host launchers of the trainer's element-wise kernels: each covers count elements with 256-thread
// blocks on the context stream and is not checked by itself (the caller checks its group of
// launches). A count of 0 launches nothing.
#pragma once

#include <cstdint>

#include "cuda/device_platform.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

// values[i] *= factor
void launchScale(const TransformerCudaContext& context, double* values, std::uint64_t count, double factor);
// destination[i] += source[i], into a resident gradient
void launchAccumulate(const TransformerCudaContext& context, double* destination, const double* source,
                      std::uint64_t count);
// destination[i] += source[i], a residual or gradient sum in place
void launchAdd(const TransformerCudaContext& context, double* destination, const double* source, std::uint64_t count);
// output[i] = a[i] + b[i]
void launchAddOut(const TransformerCudaContext& context, const double* a, const double* b, double* output,
                  std::uint64_t count);
// output[i] = bfloat16(input[i]), rounded to nearest even
void launchDoubleToBfloat16(const TransformerCudaContext& context, const double* input, bfloat16* output,
                            std::uint64_t count);
// output[i] = double(input[i])
void launchFloatToDouble(const TransformerCudaContext& context, const float* input, double* output,
                         std::uint64_t count);

}  // namespace Halcyne::Core::Vestra
