#include "cuda/trainer/device_elementwise.h"

#include "cuda/kernels/bfloat16_conversion.cuh"
#include "cuda/kernels/elementwise.cuh"
#include "cuda/kernels/thread_index.cuh"
#include "cuda/launch.h"

namespace Halcyne::Core::Vestra {
namespace {

template <auto Kernel, class... Args>
void launchOverElements(std::uint64_t count, const TransformerCudaContext& context, Args&&... args) {
    if (count != 0) {
        launch<Kernel>(blocksFor(count, kElementBlock * kThreadElements), kElementBlock, 0, context.stream,
                       std::forward<Args>(args)...);
    }
}

}  // namespace

void launchScale(const TransformerCudaContext& context, double* values, std::uint64_t count, double factor) {
    launchOverElements<scaleKernel>(count, context, values, count, factor);
}

void launchAccumulate(const TransformerCudaContext& context, double* destination, const double* source,
                      std::uint64_t count) {
    launchOverElements<accumulateKernel>(count, context, destination, source, count);
}

void launchAdd(const TransformerCudaContext& context, double* destination, const double* source, std::uint64_t count) {
    launchOverElements<trainingAddKernel>(count, context, destination, source, count);
}

void launchAddOut(const TransformerCudaContext& context, const double* a, const double* b, double* output,
                  std::uint64_t count) {
    launchOverElements<trainingAddOutKernel>(count, context, a, b, output, count);
}

void launchDoubleToBfloat16(const TransformerCudaContext& context, const double* input, bfloat16* output,
                            std::uint64_t count) {
    launchOverElements<doubleToBfloat16Kernel>(count, context, input, output, count);
}

void launchFloatToDouble(const TransformerCudaContext& context, const float* input, double* output,
                         std::uint64_t count) {
    launchOverElements<floatToDoubleKernel>(count, context, input, output, count);
}

}  // namespace Halcyne::Core::Vestra
