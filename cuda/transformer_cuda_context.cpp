#include "cuda/transformer_cuda_context.h"

#include "cuda/transformer_cuda_error.h"

namespace Halcyne::Core::Vestra {

void requireCompleteContext(const TransformerCudaContext& context) {
    if (context.stream == nullptr || context.allocator == nullptr) {
        throw TransformerCudaError(TransformerCudaErrorKind::Context, "incomplete CUDA training context");
    }
}

}  // namespace Halcyne::Core::Vestra
