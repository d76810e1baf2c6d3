#include "training/training_schedule.h"

#include <algorithm>
#include <stdexcept>

#include "core/hash.h"

namespace Halcyne::Core::Vestra {

std::uint64_t dataOrderInitialState(std::uint64_t seed) noexcept {
    const std::uint64_t state = vestraFnv1a64("transformer.training.data_order") ^ seed;
    return state == 0 ? 0x9E3779B97F4A7C15ULL : state;
}

std::uint64_t advanceDataOrder(std::uint64_t& state, std::uint64_t datasetSize) {
    if (datasetSize == 0) {
        throw std::invalid_argument("dataset size must be positive");
    }
    std::uint64_t x = state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    state = x;
    return (x * 0x2545F4914F6CDD1DULL) % datasetSize;
}

double scheduledLearningRate(const TransformerTrainingConfig& config, std::uint64_t steps) noexcept {
    const double t = static_cast<double>(steps + 1);
    const double warmup = static_cast<double>(config.warmup_steps);
    double factor = 1.0;
    if (config.warmup_steps > 0 && t <= warmup) {
        factor = t / warmup;
    } else if (config.decay_steps > 0) {
        const double progress = t > warmup ? t - warmup : 0.0;
        factor = std::max(1.0 - progress / static_cast<double>(config.decay_steps), 0.0);
    }
    return config.learning_rate * factor;
}

}  // namespace Halcyne::Core::Vestra
