// The six counters of a training state, in checkpoint order. Both trainers keep them and both
// write them into the same checkpoint image.
#pragma once

#include <cstdint>

namespace Halcyne::Core::Vestra {

struct TrainingCounters {
    std::uint64_t steps = 0;                // optimizer steps taken
    std::uint64_t examplesSeen = 0;         // batch rows consumed, whatever their lengths
    std::uint64_t dataOrderState = 0;       // data-order generator state
    std::uint64_t accumulatedBatches = 0;   // accumulate calls since the last step
    double accumulatedLoss = 0.0;           // sum of the batch losses since the last step
    std::uint64_t windowStartExamples = 0;  // examplesSeen when the current window began
};

}  // namespace Halcyne::Core::Vestra
