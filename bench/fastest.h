// Benchmarks report the fastest of a few repetitions, the run least disturbed by other work on the
// machine, or, where figures are gathered over rounds on a shared busy machine, their median. Only
// `run` is timed; `prepare` builds a fresh state for each repetition outside the clock.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <limits>
#include <vector>

namespace Halcyne::Core::Vestra {

// The middle value (the mean of the two middle ones for an even count); NaN for none.
inline double median(std::vector<double> values) {
    if (values.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

template <class Prepare, class Run>
double fastestMilliseconds(int repetitions, Prepare&& prepare, Run&& run) {
    double best = std::numeric_limits<double>::infinity();
    for (int repetition = 0; repetition < repetitions; ++repetition) {
        auto state = prepare();
        const auto start = std::chrono::steady_clock::now();
        run(state);
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

template <class Run>
double fastestMilliseconds(int repetitions, Run&& run) {
    return fastestMilliseconds(
        repetitions, [] { return 0; }, [&](int) { run(); });
}

// The fastest of a few repetitions of each routine, the routines taking turns within every
// repetition, so that a figure and the baseline printed beside it meet the same machine load.
template <class... Runs>
std::array<double, sizeof...(Runs)> fastestInTurns(int repetitions, Runs&&... runs) {
    std::array<double, sizeof...(Runs)> best;
    best.fill(std::numeric_limits<double>::infinity());
    for (int repetition = 0; repetition < repetitions; ++repetition) {
        std::size_t index = 0;
        ((best[index] = std::min(best[index], fastestMilliseconds(1, runs)), ++index), ...);
    }
    return best;
}

}  // namespace Halcyne::Core::Vestra
