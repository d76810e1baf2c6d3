// AdamW whose weights, gradient staging and both moments stay on the device across steps: an update
// is one gradient upload and one kernel launch, with no allocation, no download and no
// synchronisation. Host copies exist only at explicit boundaries. The resident footprint is four
// doubles per element, allocated once at construction and held until destruction.
#pragma once

#include <cstdint>
#include <memory>

#include "core/tensor.h"
#include "cuda/operators/adamw.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

// A move-only handle. A moved-from handle holds nothing: residentBytes and stepCount return 0 and
// every other operation throws std::logic_error "moved persistent CUDA AdamW state".
class PersistentCudaAdamW {
  public:
    // Uploads the weights and the moments of `initial` (a state without moments starts from zeros,
    // cleared on the device); nothing is synchronised. Throws TransformerCudaError kind Context for
    // an incomplete context, then std::invalid_argument "persistent CUDA AdamW requires non-empty
    // weights", "persistent CUDA AdamW state shape mismatch" (moments not shaped like the weights),
    // "persistent CUDA AdamW missing moments" (a step count without moments). Every buffer already
    // allocated is released when the constructor throws.
    PersistentCudaAdamW(const Tensor& weights, const CudaAdamWState& initial, const TransformerCudaContext& context);
    ~PersistentCudaAdamW();
    PersistentCudaAdamW(PersistentCudaAdamW&& other) noexcept;
    PersistentCudaAdamW& operator=(PersistentCudaAdamW&& other) noexcept;
    PersistentCudaAdamW(const PersistentCudaAdamW&) = delete;
    PersistentCudaAdamW& operator=(const PersistentCudaAdamW&) = delete;

    // One AdamW update on the device. Throws std::invalid_argument "persistent CUDA AdamW gradient
    // shape mismatch" or "invalid persistent CUDA AdamW configuration" before the upload, with the
    // step count unchanged; device failures name "upload persistent AdamW gradient" or "persistent
    // AdamW kernel", the latter with the step count already advanced.
    void step(const Tensor& gradient, const CudaAdamWConfig& configuration);

    // Enqueue downloads into host tensors; their values are valid only after a synchronisation.
    // `out` must be shaped like the weights ("persistent CUDA AdamW output shape mismatch"). A state
    // without a first moment gets zero moments of the weights' shape first; moments of another shape
    // are refused ("persistent CUDA AdamW output state shape mismatch"). The state's step count is
    // set to the optimizer's.
    void downloadWeights(Tensor& out) const;
    void downloadState(CudaAdamWState& out) const;
    // Synchronises the stream, checked as "synchronize persistent AdamW boundary".
    void synchronize() const;
    // downloadWeights, downloadState, then synchronize.
    void synchronizeBoundary(Tensor& weights, CudaAdamWState& state) const;

    [[nodiscard]] std::uint64_t residentBytes() const noexcept;
    [[nodiscard]] std::uint64_t stepCount() const noexcept;

  private:
    struct State;
    [[nodiscard]] State& live() const;

    std::unique_ptr<State> state_;
};

}  // namespace Halcyne::Core::Vestra
