// Tensor: the host-side numeric container. Extents outermost first, values row-major with the
// last index fastest; values.size() always equals elementCount(shape). An empty Tensor (no
// extents, no values) is the absent state of an optional weight or gradient.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

namespace Halcyne::Core::Vestra {

using Extents = std::vector<std::uint64_t>;

// Product of the extents; 1 for an empty shape. Walks the extents from the first: a zero extent
// throws std::invalid_argument, a product beyond 64 bits throws std::overflow_error, each extent
// checked in turn so that the first fault met is the one reported.
[[nodiscard]] std::uint64_t elementCount(std::span<const std::uint64_t> shape);

struct Tensor {
    Extents shape;
    std::vector<double> values;
    // When false, an operator that stores a freshly computed element rounds it to single precision.
    bool doublePrecision = true;

    Tensor() = default;
    explicit Tensor(Extents shape, double fill = 0.0, bool doublePrecision = true);

    // Row-major offset of a coordinate list; throws std::out_of_range on a rank mismatch or a
    // coordinate beyond its extent. Inline and allocation-free: at() sits in the reference's inner
    // loops, where the compiler sees the coordinate count and unrolls the walk.
    [[nodiscard]] std::uint64_t offsetOf(std::span<const std::uint64_t> index) const {
        if (index.size() != shape.size()) [[unlikely]] {
            throwRankMismatch();
        }
        std::uint64_t offset = 0;
        for (std::size_t k = 0; k < index.size(); ++k) {
            if (index[k] >= shape[k]) [[unlikely]] {
                throwIndexOutOfBounds();
            }
            offset = offset * shape[k] + index[k];
        }
        return offset;
    }
    [[nodiscard]] std::uint64_t offsetOf(std::initializer_list<std::uint64_t> index) const {
        return offsetOf(std::span<const std::uint64_t>(index.begin(), index.size()));
    }

    // Element access through offsetOf. An absent (empty) tensor has no element to give, so the
    // offset is also checked against the storage.
    [[nodiscard]] double& at(std::initializer_list<std::uint64_t> index) { return values[storageIndex(index)]; }
    [[nodiscard]] double at(std::initializer_list<std::uint64_t> index) const { return values[storageIndex(index)]; }
    [[nodiscard]] double& at(std::span<const std::uint64_t> index) { return values[storageIndex(index)]; }
    [[nodiscard]] double at(std::span<const std::uint64_t> index) const { return values[storageIndex(index)]; }

    [[nodiscard]] bool empty() const noexcept { return values.empty(); }

  private:
    [[noreturn]] static void throwRankMismatch();
    [[noreturn]] static void throwIndexOutOfBounds();

    [[nodiscard]] std::size_t storageIndex(std::span<const std::uint64_t> index) const {
        const std::uint64_t offset = offsetOf(index);
        if (offset >= values.size()) [[unlikely]] {
            throwIndexOutOfBounds();
        }
        return static_cast<std::size_t>(offset);
    }
    [[nodiscard]] std::size_t storageIndex(std::initializer_list<std::uint64_t> index) const {
        return storageIndex(std::span<const std::uint64_t>(index.begin(), index.size()));
    }
};

// Throws std::invalid_argument "<name> has an invalid shape" unless tensor.shape equals expected.
void requireShape(const Tensor& tensor, std::initializer_list<std::uint64_t> expected, std::string_view name);
void requireShape(const Tensor& tensor, std::span<const std::uint64_t> expected, std::string_view name);

}  // namespace Halcyne::Core::Vestra
