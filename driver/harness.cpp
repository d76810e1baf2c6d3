#include "driver/harness.h"

#include <cmath>
#include <stdexcept>

namespace Halcyne::Core::Vestra {

void require(bool condition, const char* message) {
    if (!condition) {
        throw std::runtime_error(message);
    }
}

double maxAbsDifference(const Tensor& a, const Tensor& b) {
    require(a.shape == b.shape, "tensor shapes differ");
    double largest = 0.0;
    for (std::size_t i = 0; i < a.values.size() && i < b.values.size(); ++i) {
        const double difference = std::abs(a.values[i] - b.values[i]);
        if (difference > largest) {
            largest = difference;
        }
    }
    return largest;
}

std::int64_t elapsedMilliseconds(std::chrono::steady_clock::time_point start,
                                 std::chrono::steady_clock::time_point end) {
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
    return static_cast<std::int64_t>(nanoseconds / 1'000'000);
}

}  // namespace Halcyne::Core::Vestra
