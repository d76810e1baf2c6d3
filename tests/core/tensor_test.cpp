#include "core/tensor.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

TEST(ElementCount, ChecksEachExtentInOrder) {
    EXPECT_EQ(elementCount(Extents{}), 1u);
    EXPECT_EQ(elementCount(Extents{2, 3, 4}), 24u);
    EXPECT_EQ(elementCount(Extents{1ULL << 32, (1ULL << 32) - 1}), ((1ULL << 32) - 1) << 32);
    expectThrowWithMessage<std::invalid_argument>(
        [] {
            (void)elementCount(Extents{3, 0, 2});
        },
        "tensor extent must be positive");
    expectThrowWithMessage<std::overflow_error>(
        [] {
            (void)elementCount(Extents{1ULL << 32, 1ULL << 32});
        },
        "tensor shape overflows size_t");
    // The overflow is met before the zero extent that follows it.
    expectThrowWithMessage<std::overflow_error>(
        [] {
            (void)elementCount(Extents{1ULL << 32, 1ULL << 32, 0});
        },
        "tensor shape overflows size_t");
    expectThrowWithMessage<std::invalid_argument>(
        [] {
            (void)elementCount(Extents{0, 1ULL << 32, 1ULL << 32});
        },
        "tensor extent must be positive");
}

TEST(Tensor, ConstructionFillsAndRefusesBadShapes) {
    const Tensor scalar(Extents{}, 2.5);
    EXPECT_EQ(scalar.values, std::vector<double>{2.5});
    EXPECT_EQ(scalar.offsetOf({}), 0u);
    EXPECT_EQ(scalar.at({}), 2.5);

    const Tensor single(Extents{2, 2}, 0.0, false);
    EXPECT_FALSE(single.doublePrecision);
    EXPECT_EQ(single.values, std::vector<double>(4, 0.0));

    EXPECT_THROW(Tensor(Extents{3, 0, 2}), std::invalid_argument);
    EXPECT_THROW(Tensor(Extents{1ULL << 32, 1ULL << 32}), std::overflow_error);

    const Tensor absent;
    EXPECT_TRUE(absent.empty());
    EXPECT_TRUE(absent.doublePrecision);
    EXPECT_THROW((void)absent.at({}), std::out_of_range);
}

TEST(Tensor, IndexingIsRowMajorAndChecked) {
    Tensor tensor(Extents{2, 3});
    for (std::uint64_t i = 0; i < 2; ++i) {
        for (std::uint64_t j = 0; j < 3; ++j) {
            tensor.at({i, j}) = static_cast<double>(10 * i + j);
        }
    }
    EXPECT_EQ(tensor.values, (std::vector<double>{0, 1, 2, 10, 11, 12}));
    EXPECT_EQ(tensor.offsetOf({1, 2}), 5u);

    const std::uint64_t coordinates[] = {1, 0};
    EXPECT_EQ(tensor.at(std::span<const std::uint64_t>(coordinates)), 10.0);

    expectThrowWithMessage<std::out_of_range>([&] { (void)tensor.offsetOf({2, 0}); }, "tensor index out of bounds");
    expectThrowWithMessage<std::out_of_range>([&] { (void)tensor.offsetOf({0, 3}); }, "tensor index out of bounds");
    expectThrowWithMessage<std::out_of_range>([&] { (void)tensor.offsetOf({1}); }, "tensor rank mismatch");
    expectThrowWithMessage<std::out_of_range>([&] { (void)tensor.at({0, 0, 0}); }, "tensor rank mismatch");
}

TEST(RequireShape, NamesTheTensorOnMismatch) {
    const Tensor tensor(Extents{4, 8});
    EXPECT_NO_THROW(requireShape(tensor, {4, 8}, "query weight"));
    expectThrowWithMessage<std::invalid_argument>(
        [&] {
            requireShape(tensor, {8, 4}, "query weight");
        },
        "query weight has an invalid shape");
    expectThrowWithMessage<std::invalid_argument>(
        [&] {
            requireShape(tensor, {4, 8, 1}, "bias");
        },
        "bias has an invalid shape");
    expectThrowWithMessage<std::invalid_argument>([&] { requireShape(Tensor(), {4}, "norm"); },
                                                  "norm has an invalid shape");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
