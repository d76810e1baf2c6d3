// Persistent AdamW for every weight tensor of a model: one PersistentCudaAdamW per tensor that holds
// values, in canonical tensor order, with the decay rule of the model optimizer (norms never
// decay). Steps stay on the device; the downloads are the only boundaries and each synchronises
// once.
#pragma once

#include <cstdint>
#include <memory>

#include "core/transformer_weights.h"
#include "cuda/operators/adamw.h"
#include "cuda/operators/model_adamw.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

// A move-only handle. A moved-from handle holds nothing: residentBytes returns 0 and every other
// operation throws std::logic_error "moved persistent CUDA AdamW model".
class PersistentCudaModelAdamW {
  public:
    // An initial state whose layer count differs from the weights' (a default state has none) is
    // replaced by zero moments at step 0. The tensor optimizers' exceptions propagate, each built
    // one releasing its buffers on the way out.
    PersistentCudaModelAdamW(const TransformerWeights& weights, const CudaModelAdamWState& initial,
                             const TransformerCudaContext& context);
    ~PersistentCudaModelAdamW();
    PersistentCudaModelAdamW(PersistentCudaModelAdamW&& other) noexcept;
    PersistentCudaModelAdamW& operator=(PersistentCudaModelAdamW&& other) noexcept;
    PersistentCudaModelAdamW(const PersistentCudaModelAdamW&) = delete;
    PersistentCudaModelAdamW& operator=(const PersistentCudaModelAdamW&) = delete;

    // Steps the k-th gradient that holds values (canonical order) on the k-th tensor optimizer, at
    // once. More or fewer such gradients than tensors throws std::invalid_argument "persistent CUDA
    // AdamW gradient structure mismatch" after the tensors before the mismatch have stepped.
    void step(const TransformerWeights& gradients, const CudaAdamWConfig& configuration);

    // Each downloads into the host set and synchronises once. The k-th tensor of `out` that holds
    // values receives the k-th optimizer's weights: a tensor beyond the last optimizer throws
    // std::out_of_range "invalid vector subscript", too few throw std::invalid_argument "persistent
    // CUDA AdamW weight structure mismatch". downloadState first gives `out` the model's layer
    // count.
    void downloadWeights(TransformerWeights& out) const;
    void downloadState(CudaModelAdamWState& out) const;

    // The sum of the tensor optimizers' footprints: 32 bytes per weight element.
    [[nodiscard]] std::uint64_t residentBytes() const noexcept;

  private:
    struct State;
    [[nodiscard]] State& live() const;

    std::unique_ptr<State> state_;
};

}  // namespace Halcyne::Core::Vestra
