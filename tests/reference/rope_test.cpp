#include "reference/rope.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "driver/fixtures.h"
#include "support/compare.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;
using Testing::tensorsEqual;
using Testing::tensorsNear;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

// Row p of a table built at offset 4 is row 4 + p of a table built at offset 0 (the rotation test
// below holds the angles of the rows themselves).
TEST(RopeTable, OffsetRowsContinueTheTable) {
    const RopeTable shifted = buildRopeTable(2, 6, 100.0, 4);
    const RopeTable longer = buildRopeTable(6, 6, 100.0, 0);
    EXPECT_EQ(shifted.cos, std::vector<double>(longer.cos.begin() + 12, longer.cos.end()));
    EXPECT_EQ(shifted.sin, std::vector<double>(longer.sin.begin() + 12, longer.sin.end()));
}

TEST(Rope, RefusesDimensionsBasesIndicesShapesAndNonFiniteValues) {
    for (const auto& [positions, dimension] : {std::pair<std::uint64_t, std::uint64_t>{0, 4}, {4, 0}, {4, 3}}) {
        expectThrowWithMessage<std::invalid_argument>([&] { (void)buildRopeTable(positions, dimension, 10.0, 0); },
                                                      "RoPE table dimensions must be positive and even");
    }
    for (const double base : {nan, infinity, 0.0, -1.0}) {
        expectThrowWithMessage<std::invalid_argument>([&] { (void)buildRopeTable(4, 4, base, 0); },
                                                      "RoPE base must be finite and positive");
    }
    const RopeTable table = buildRopeTable(3, 4, 10.0, 0);
    EXPECT_NO_THROW((void)ropeSin(table, 2, 1));
    expectThrowWithMessage<std::out_of_range>([&] { (void)ropeCos(table, 3, 0); }, "RoPE table index out of bounds");
    expectThrowWithMessage<std::out_of_range>([&] { (void)ropeSin(table, 0, 2); }, "RoPE table index out of bounds");

    Tensor query = sineTensor({4, 4}, 0.2);
    Tensor key = sineTensor({4, 4}, 0.4);
    expectThrowWithMessage<std::invalid_argument>(
        [&] { applyRopeTable(query, key, 1, 4, 1, 1, buildRopeTable(3, 4, 10.0, 0), true, false); },
        "RoPE table is shorter than the sequence");
    expectThrowWithMessage<std::invalid_argument>([&] { applyRope(query, key, 1, 4, 2, 1, 2, 10.0, 0, true, false); },
                                                  "RoPE key has an invalid shape");
    expectThrowWithMessage<std::invalid_argument>([&] { applyRope(query, key, 2, 2, 1, 1, 8, 10.0, 0, true, false); },
                                                  "RoPE query has an invalid shape");
    // The base is refused before any shape is looked at.
    expectThrowWithMessage<std::invalid_argument>([&] { applyRope(query, key, 9, 9, 9, 9, 4, nan, 0, true, false); },
                                                  "RoPE base must be finite and positive");
    key.values[5] = infinity;
    expectThrowWithMessage<std::domain_error>([&] { applyRope(query, key, 1, 4, 1, 1, 4, 10.0, 0, true, false); },
                                              "transformer operator produced NaN/Inf");
}

TEST(ApplyRope, RotatesAdjacentPairsInsideEachHeadByPosition) {
    // batch 2, sequence 3, query heads 4 over 2 KV heads of width 4, base 100.
    const std::uint64_t sequence = 3, headDim = 4;
    const Tensor query0 = sineTensor({6, 4 * headDim}, 0.3);
    const Tensor key0 = sineTensor({6, 2 * headDim}, 1.7);
    Tensor query = query0, key = key0;
    applyRope(query, key, 2, sequence, 4, 2, headDim, 100.0, 0, true, false);
    const auto expectRotated = [&](const Tensor& before, const Tensor& after) {
        for (std::uint64_t row = 0; row < 6; ++row) {
            for (std::uint64_t column = 0; column < before.shape[1]; column += 2) {
                // The position is the one within the sequence; the pair index restarts in each head.
                const double angle = static_cast<double>(row % sequence) / std::pow(100.0, (column % headDim) / 4.0);
                const double x0 = before.at({row, column}), x1 = before.at({row, column + 1});
                EXPECT_NEAR(after.at({row, column}), x0 * std::cos(angle) - x1 * std::sin(angle), 1e-17);
                EXPECT_NEAR(after.at({row, column + 1}), x1 * std::cos(angle) + x0 * std::sin(angle), 1e-17);
            }
        }
    };
    expectRotated(query0, query);
    expectRotated(key0, key);

    Tensor single = query0;
    applyRope(single, key, 2, sequence, 4, 2, headDim, 100.0, 0, false, false);
    for (const double value : single.values) {
        EXPECT_EQ(value, static_cast<double>(static_cast<float>(value)));
    }
}

TEST(ApplyRope, InverseUndoesForwardAndATableMayBeLonger) {
    const Tensor query0 = sineTensor({6, 8}, 0.1);
    const Tensor key0 = sineTensor({6, 4}, 0.9);
    Tensor query = query0, key = key0;
    applyRope(query, key, 2, 3, 2, 1, 4, 10000.0, 5, true, false);
    const Tensor rotated = query, rotatedKey = key;
    EXPECT_FALSE(tensorsNear(query, query0, 1e-6));
    applyRope(query, key, 2, 3, 2, 1, 4, 10000.0, 5, true, true);
    EXPECT_TRUE(tensorsNear(query, query0, 1e-17));
    EXPECT_TRUE(tensorsNear(key, key0, 1e-17));
    // A longer table serves a shorter sequence.
    query = query0, key = key0;
    applyRopeTable(query, key, 2, 3, 2, 1, buildRopeTable(7, 4, 10000.0, 5), true, false);
    EXPECT_TRUE(tensorsEqual(query, rotated));
    EXPECT_TRUE(tensorsEqual(key, rotatedKey));
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
