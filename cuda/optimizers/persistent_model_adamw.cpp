#include "cuda/optimizers/persistent_model_adamw.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include "cuda/optimizers/persistent_adamw.h"

namespace Halcyne::Core::Vestra {
namespace {

struct Entry {
    PersistentCudaAdamW optimizer;
    bool decays;
};

// Zero moments shaped like every weight that holds values, every step 0.
CudaModelAdamWState freshState(const TransformerWeights& weights) {
    CudaModelAdamWState state;
    state.layers.resize(weights.layers.size());
    forEachWeightTensor(weights, [&](const WeightSlot& slot, const Tensor& tensor) {
        if (!tensor.empty()) {
            weightSlotMember(state, slot) = CudaAdamWState{Tensor(tensor.shape), Tensor(tensor.shape), 0};
        }
    });
    return state;
}

}  // namespace

struct PersistentCudaModelAdamW::State {
    std::vector<Entry> entries;
    std::vector<std::uint64_t> flatIndices;  // each entry's position in the canonical tensor list
    std::uint64_t layerCount = 0;
    bool hasOutputEmbedding = false;
};

PersistentCudaModelAdamW::PersistentCudaModelAdamW(const TransformerWeights& weights,
                                                   const CudaModelAdamWState& initial,
                                                   const TransformerCudaContext& context)
    : state_(std::make_unique<State>()) {
    State& state = *state_;
    state.layerCount = weights.layers.size();
    state.hasOutputEmbedding = !weights.output_embedding.empty();
    // With the layer counts equal the state mirrors the weights slot for slot, so the tensor lists
    // of the two cannot differ in length.
    const CudaModelAdamWState start = initial.layers.size() == state.layerCount ? initial : freshState(weights);
    std::uint64_t position = 0;
    forEachWeightTensor(weights, [&](const WeightSlot& slot, const Tensor& tensor) {
        if (!tensor.empty()) {
            state.flatIndices.push_back(position);
            state.entries.push_back(
                Entry{PersistentCudaAdamW(tensor, weightSlotMember(start, slot), context), slot.decays});
        }
        ++position;
    });
}

PersistentCudaModelAdamW::~PersistentCudaModelAdamW() = default;
PersistentCudaModelAdamW::PersistentCudaModelAdamW(PersistentCudaModelAdamW&& other) noexcept = default;
PersistentCudaModelAdamW& PersistentCudaModelAdamW::operator=(PersistentCudaModelAdamW&& other) noexcept = default;

PersistentCudaModelAdamW::State& PersistentCudaModelAdamW::live() const {
    if (state_ == nullptr) {
        throw std::logic_error("moved persistent CUDA AdamW model");
    }
    return *state_;
}

void PersistentCudaModelAdamW::step(const TransformerWeights& gradients, const CudaAdamWConfig& configuration) {
    std::vector<Entry>& entries = live().entries;
    std::size_t paired = 0;
    forEachWeightTensor(gradients, [&](const WeightSlot&, const Tensor& gradient) {
        if (gradient.empty()) {
            return;
        }
        if (paired == entries.size()) {
            throw std::invalid_argument("persistent CUDA AdamW gradient structure mismatch");
        }
        Entry& entry = entries[paired++];
        entry.optimizer.step(gradient, configurationFor(entry.decays, configuration));
    });
    if (paired != entries.size()) {
        throw std::invalid_argument("persistent CUDA AdamW gradient structure mismatch");
    }
}

void PersistentCudaModelAdamW::downloadWeights(TransformerWeights& out) const {
    const std::vector<Entry>& entries = live().entries;
    std::size_t paired = 0;
    forEachWeightTensor(out, [&](const WeightSlot&, Tensor& tensor) {
        if (tensor.empty()) {
            return;
        }
        if (paired == entries.size()) {
            throw std::out_of_range("invalid vector subscript");
        }
        entries[paired++].optimizer.downloadWeights(tensor);
    });
    if (paired != entries.size()) {
        throw std::invalid_argument("persistent CUDA AdamW weight structure mismatch");
    }
    if (!entries.empty()) {
        entries.front().optimizer.synchronize();
    }
}

void PersistentCudaModelAdamW::downloadState(CudaModelAdamWState& out) const {
    const State& state = live();
    if (out.layers.size() != state.layerCount) {
        out.layers.resize(state.layerCount);
    }
    const std::vector<CudaAdamWState*> states = canonicalStates(out, state.hasOutputEmbedding);
    for (std::size_t i = 0; i < state.entries.size(); ++i) {
        // Resized to the model's layer count, `out` lists every position an entry was taken from.
        state.entries[i].optimizer.downloadState(*states[state.flatIndices[i]]);
    }
    if (!state.entries.empty()) {
        state.entries.front().optimizer.synchronize();
    }
}

std::uint64_t PersistentCudaModelAdamW::residentBytes() const noexcept {
    if (state_ == nullptr) {
        return 0;
    }
    std::uint64_t bytes = 0;
    for (const Entry& entry : state_->entries) {
        bytes += entry.optimizer.residentBytes();
    }
    return bytes;
}

}  // namespace Halcyne::Core::Vestra
