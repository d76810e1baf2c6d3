#include "core/tensor.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

TEST(ElementCount, ReportsTheFirstFaultMet) {
    EXPECT_EQ(elementCount(Extents{}), 1u);
    EXPECT_EQ(elementCount(Extents{1ULL << 32, (1ULL << 32) - 1}), ((1ULL << 32) - 1) << 32);
    const auto count = [](Extents shape) { return [shape] { (void)elementCount(shape); }; };
    expectThrowWithMessage<std::invalid_argument>(count({3, 0, 2}), "tensor extent must be positive");
    expectThrowWithMessage<std::invalid_argument>(count({0, 1ULL << 32, 1ULL << 32}), "tensor extent must be positive");
    expectThrowWithMessage<std::overflow_error>(count({1ULL << 32, 1ULL << 32, 0}), "tensor shape overflows size_t");
    EXPECT_THROW(Tensor(Extents{1ULL << 32, 1ULL << 32}), std::overflow_error);
}

TEST(Tensor, IndexingIsRowMajorAndChecked) {
    Tensor tensor(Extents{2, 3});
    tensor.values = {0, 1, 2, 10, 11, 12};
    EXPECT_EQ(std::vector({tensor.at({0, 2}), tensor.at({1, 0}), tensor.at({1, 2})}), std::vector({2.0, 10.0, 12.0}));
    EXPECT_EQ(Tensor(Extents{}, 2.5).at({}), 2.5);
    const auto offset = [&](Extents index) { return [&tensor, index] { (void)tensor.offsetOf(index); }; };
    expectThrowWithMessage<std::out_of_range>(offset({2, 0}), "tensor index out of bounds");
    expectThrowWithMessage<std::out_of_range>(offset({0, 3}), "tensor index out of bounds");
    expectThrowWithMessage<std::out_of_range>(offset({1}), "tensor rank mismatch");
    // An absent tensor has no element, not even at the empty coordinate list.
    EXPECT_THROW((void)Tensor().at({}), std::out_of_range);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
