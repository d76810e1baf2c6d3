#include "training/window_reduction.h"

#include <stdexcept>

namespace Halcyne::Core::Vestra {

void WindowReduction::sumOnDevice(double*, std::uint64_t, void*) {
    throw std::logic_error("this window reduction sums only host memory");
}

void PackedWindow::reduce(WindowReduction& reduction, TrainingCounters& counters) {
    if (counters.accumulatedBatches == 0) {
        throw std::logic_error("a window reduction requires accumulated gradients");
    }
    const std::size_t totals = values_.size() - 3;
    values_[totals] = counters.accumulatedLoss;
    values_[totals + 1] = static_cast<double>(counters.accumulatedBatches);
    values_[totals + 2] = static_cast<double>(counters.examplesSeen - counters.windowStartExamples);
    reduction.sum(values_);
    counters.accumulatedLoss = values_[totals];
    counters.accumulatedBatches = static_cast<std::uint64_t>(values_[totals + 1]);
    counters.examplesSeen = counters.windowStartExamples + static_cast<std::uint64_t>(values_[totals + 2]);
}

}  // namespace Halcyne::Core::Vestra
