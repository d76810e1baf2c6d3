#include "cuda/optimizers/persistent_adamw.h"

#include <cmath>
#include <stdexcept>

#include "cuda/device_buffer.h"
#include "cuda/device_transfers.h"
#include "cuda/kernels/adamw.cuh"
#include "cuda/launch.h"

namespace Halcyne::Core::Vestra {
struct PersistentCudaAdamW::State {
    const TransformerCudaContext* context;
    Extents shape;
    std::uint64_t count;
    DeviceBuffer<double> weights;
    DeviceBuffer<double> gradient;
    DeviceBuffer<double> firstMoment;
    DeviceBuffer<double> secondMoment;
    std::uint64_t step;

    [[nodiscard]] bool fits(const Tensor& tensor) const {
        return tensor.shape == shape && tensor.values.size() == count;
    }
};

PersistentCudaAdamW::PersistentCudaAdamW(const Tensor& weights, const CudaAdamWState& initial,
                                         const TransformerCudaContext& context) {
    requireCompleteContext(context);
    const std::uint64_t count = weights.values.size();
    auto state = std::make_unique<State>(State{
        &context, weights.shape, count, DeviceBuffer<double>(context, count), DeviceBuffer<double>(context, count),
        DeviceBuffer<double>(context, count), DeviceBuffer<double>(context, count), initial.step});
    if (count == 0) {
        throw std::invalid_argument("persistent CUDA AdamW requires non-empty weights");
    }
    const bool hasMoments = !initial.firstMoment.empty();
    if (hasMoments && (!state->fits(initial.firstMoment) || !state->fits(initial.secondMoment))) {
        throw std::invalid_argument("persistent CUDA AdamW state shape mismatch");
    }
    if (initial.step != 0 && !hasMoments) {
        throw std::invalid_argument("persistent CUDA AdamW missing moments");
    }
    upload(context, state->weights, weights.values, "upload persistent AdamW weights");
    if (hasMoments) {
        upload(context, state->firstMoment, initial.firstMoment.values, "upload persistent AdamW first moment");
        upload(context, state->secondMoment, initial.secondMoment.values, "upload persistent AdamW second moment");
    } else {
        clear(context, state->firstMoment, "clear persistent AdamW first moment");
        clear(context, state->secondMoment, "clear persistent AdamW second moment");
    }
    state_ = std::move(state);
}

PersistentCudaAdamW::~PersistentCudaAdamW() = default;
PersistentCudaAdamW::PersistentCudaAdamW(PersistentCudaAdamW&& other) noexcept = default;
PersistentCudaAdamW& PersistentCudaAdamW::operator=(PersistentCudaAdamW&& other) noexcept = default;

PersistentCudaAdamW::State& PersistentCudaAdamW::live() const {
    if (state_ == nullptr) {
        throw std::logic_error("moved persistent CUDA AdamW state");
    }
    return *state_;
}

void PersistentCudaAdamW::step(const Tensor& gradient, const CudaAdamWConfig& configuration) {
    State& state = live();
    if (!state.fits(gradient)) {
        throw std::invalid_argument("persistent CUDA AdamW gradient shape mismatch");
    }
    if (!isValidAdamWConfig(configuration)) {
        throw std::invalid_argument("invalid persistent CUDA AdamW configuration");
    }
    const TransformerCudaContext& context = *state.context;
    upload(context, state.gradient, gradient.values, "upload persistent AdamW gradient");
    state.step += 1;
    const double t = static_cast<double>(state.step);
    const double biasCorrection1 = 1.0 - std::pow(configuration.beta1, t);
    const double biasCorrection2 = 1.0 - std::pow(configuration.beta2, t);
    launch<adamKernel>(blocksFor(state.count, kElementBlock * kThreadElements), kElementBlock, 0, context.stream,
                       state.weights.get(), state.gradient.get(), state.firstMoment.get(), state.secondMoment.get(),
                       state.count, configuration.learning_rate, configuration.beta1, configuration.beta2,
                       configuration.epsilon, configuration.weight_decay, biasCorrection1, biasCorrection2);
    checkKernels("persistent AdamW kernel");
}

void PersistentCudaAdamW::downloadWeights(Tensor& out) const {
    const State& state = live();
    if (!state.fits(out)) {
        throw std::invalid_argument("persistent CUDA AdamW output shape mismatch");
    }
    download(*state.context, out.values, state.weights, "download persistent AdamW weights");
}

void PersistentCudaAdamW::downloadState(CudaAdamWState& out) const {
    const State& state = live();
    if (out.firstMoment.empty()) {
        out.firstMoment = Tensor(state.shape);
        out.secondMoment = Tensor(state.shape);
    }
    if (!state.fits(out.firstMoment) || !state.fits(out.secondMoment)) {
        throw std::invalid_argument("persistent CUDA AdamW output state shape mismatch");
    }
    download(*state.context, out.firstMoment.values, state.firstMoment, "download persistent AdamW first moment");
    download(*state.context, out.secondMoment.values, state.secondMoment, "download persistent AdamW second moment");
    out.step = state.step;
}

void PersistentCudaAdamW::synchronize() const {
    Vestra::synchronize(*live().context, "synchronize persistent AdamW boundary");
}

void PersistentCudaAdamW::synchronizeBoundary(Tensor& weights, CudaAdamWState& state) const {
    downloadWeights(weights);
    downloadState(state);
    synchronize();
}

std::uint64_t PersistentCudaAdamW::residentBytes() const noexcept {
    if (state_ == nullptr) {
        return 0;
    }
    return state_->weights.bytes() + state_->gradient.bytes() + state_->firstMoment.bytes() +
           state_->secondMoment.bytes();
}

std::uint64_t PersistentCudaAdamW::stepCount() const noexcept {
    return state_ == nullptr ? 0 : state_->step;
}

}  // namespace Halcyne::Core::Vestra
