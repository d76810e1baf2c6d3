#include "training/named_tensors.h"

#include <algorithm>

namespace Halcyne::Core::Vestra {
namespace {

template <class Weights, class Entry>
std::vector<Entry> collect(Weights& weights) {
    std::vector<Entry> entries;
    forEachWeightTensor(weights, [&](const WeightSlot& slot, auto& tensor) {
        entries.push_back(Entry{slot.name, tensor, slot.decays});
    });
    return entries;
}

}  // namespace

std::vector<NamedTensor> namedTensors(TransformerWeights& weights) {
    return collect<TransformerWeights, NamedTensor>(weights);
}

std::vector<ConstNamedTensor> namedTensors(const TransformerWeights& weights) {
    return collect<const TransformerWeights, ConstNamedTensor>(weights);
}

TransformerWeights zerosLike(const TransformerWeights& weights) {
    TransformerWeights zeros = weights;
    forEachWeightTensor(zeros, [](const WeightSlot&, Tensor& tensor) {
        if (tensor.values.empty()) {
            tensor = Tensor();
        } else {
            std::fill(tensor.values.begin(), tensor.values.end(), 0.0);
            tensor.doublePrecision = true;
        }
    });
    // The walk skips an output embedding without values; it must not keep a stray shape either.
    if (zeros.output_embedding.values.empty()) {
        zeros.output_embedding = Tensor();
    }
    return zeros;
}

}  // namespace Halcyne::Core::Vestra
