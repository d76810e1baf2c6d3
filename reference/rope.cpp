#include "reference/rope.h"

#include <cmath>
#include <stdexcept>

#include "reference/operator_value.h"

namespace Halcyne::Core::Vestra {
namespace {

void requireTableEntry(const RopeTable& table, std::uint64_t position, std::uint64_t pair) {
    if (position >= table.positions || pair >= table.dimension / 2) {
        throw std::out_of_range("RoPE table index out of bounds");
    }
}

// Turns each adjacent column pair of every head of one tensor by its position's angle.
void rotate(Tensor& tensor, std::uint64_t batch, std::uint64_t sequence, std::uint64_t heads, const RopeTable& table,
            bool doublePrecision, bool inverse) {
    const std::uint64_t dimension = table.dimension;
    for (std::uint64_t b = 0; b < batch; ++b) {
        for (std::uint64_t s = 0; s < sequence; ++s) {
            const std::uint64_t row = b * sequence + s;
            for (std::uint64_t h = 0; h < heads; ++h) {
                for (std::uint64_t d = 0; d < dimension; d += 2) {
                    const double c = ropeCos(table, s, d / 2);
                    const double sine = ropeSin(table, s, d / 2);
                    const double n = inverse ? -sine : sine;
                    const std::uint64_t column = h * dimension + d;
                    const double x0 = tensor.at({row, column});
                    const double x1 = tensor.at({row, column + 1});
                    tensor.at({row, column}) = checkOperatorValue(x0 * c - x1 * n, doublePrecision);
                    tensor.at({row, column + 1}) = checkOperatorValue(x1 * c + x0 * n, doublePrecision);
                }
            }
        }
    }
}

}  // namespace

RopeTable buildRopeTable(std::uint64_t positions, std::uint64_t dimension, double base, std::uint64_t positionOffset) {
    if (positions == 0 || dimension == 0 || dimension % 2 != 0) {
        throw std::invalid_argument("RoPE table dimensions must be positive and even");
    }
    if (!std::isfinite(base) || !(base > 0.0)) {
        throw std::invalid_argument("RoPE base must be finite and positive");
    }
    RopeTable table;
    table.positions = positions;
    table.dimension = dimension;
    const std::uint64_t pairs = dimension / 2;
    table.cos.resize(positions * pairs);
    table.sin.resize(positions * pairs);
    for (std::uint64_t p = 0; p < positions; ++p) {
        for (std::uint64_t i = 0; i < pairs; ++i) {
            // A division by the power, not a multiplication by its inverse: the device kernels and
            // the tape compute the angle the same way.
            const double divisor = std::pow(base, static_cast<double>(2 * i) / static_cast<double>(dimension));
            const double angle = static_cast<double>(positionOffset + p) / divisor;
            table.cos[p * pairs + i] = std::cos(angle);
            table.sin[p * pairs + i] = std::sin(angle);
        }
    }
    return table;
}

double ropeCos(const RopeTable& table, std::uint64_t position, std::uint64_t pair) {
    requireTableEntry(table, position, pair);
    return table.cos[position * (table.dimension / 2) + pair];
}

double ropeSin(const RopeTable& table, std::uint64_t position, std::uint64_t pair) {
    requireTableEntry(table, position, pair);
    return table.sin[position * (table.dimension / 2) + pair];
}

void applyRopeTable(Tensor& query, Tensor& key, std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads,
                    std::uint64_t kvHeads, const RopeTable& table, bool doublePrecision, bool inverse) {
    if (table.positions < sequence) {
        throw std::invalid_argument("RoPE table is shorter than the sequence");
    }
    requireShape(query, {batch * sequence, queryHeads * table.dimension}, "RoPE query");
    requireShape(key, {batch * sequence, kvHeads * table.dimension}, "RoPE key");
    rotate(query, batch, sequence, queryHeads, table, doublePrecision, inverse);
    rotate(key, batch, sequence, kvHeads, table, doublePrecision, inverse);
}

void applyRope(Tensor& query, Tensor& key, std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads,
               std::uint64_t kvHeads, std::uint64_t headDim, double base, std::uint64_t positionOffset,
               bool doublePrecision, bool inverse) {
    const RopeTable table = buildRopeTable(sequence, headDim, base, positionOffset);
    applyRopeTable(query, key, batch, sequence, queryHeads, kvHeads, table, doublePrecision, inverse);
}

}  // namespace Halcyne::Core::Vestra
