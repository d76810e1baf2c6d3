#include "cli/initial_weights.h"

#include <cmath>
#include <random>

namespace Halcyne::Core::Vestra::Cli {

TransformerWeights initialWeights(const TransformerSpec& spec, std::uint64_t seed) {
    TransformerWeights weights = zeroWeights(spec);
    // mt19937_64 and the bit-level conversion below are fixed by the standard, so a seed gives the
    // same weights with every compiler and library (the standard distributions are not).
    std::mt19937_64 random(seed);
    const double depthScale = 1.0 / std::sqrt(2.0 * spec.layers);
    forEachWeightTensor(weights, [&](const WeightSlot& slot, Tensor& tensor) {
        if (!slot.decays) {
            std::fill(tensor.values.begin(), tensor.values.end(), 1.0);
            return;
        }
        double bound = 0.02;
        if (slot.tensor != WeightTensor::TokenEmbedding && slot.tensor != WeightTensor::OutputEmbedding) {
            bound = std::sqrt(6.0 / static_cast<double>(tensor.shape[0] + tensor.shape[1]));
        }
        if (slot.tensor == WeightTensor::AttentionOutput || slot.tensor == WeightTensor::FfnDown) {
            bound *= depthScale;
        }
        for (double& value : tensor.values) {
            const double unit = static_cast<double>(random() >> 11) * 0x1.0p-53;
            value = (2.0 * unit - 1.0) * bound;
        }
    });
    return weights;
}

}  // namespace Halcyne::Core::Vestra::Cli
