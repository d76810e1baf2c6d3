// Rotary position encoding. Pairs are adjacent columns (2i, 2i+1) inside each head and pair i
// turns by position / base^(2i / dimension); the inverse rotation (negated sine) is the exact
// transpose of the forward one and serves as the gradient of RoPE.
#pragma once

#include <cstdint>
#include <vector>

#include "core/tensor.h"

namespace Halcyne::Core::Vestra {

// The cosines and sines for a block of positions: entry p * (dimension / 2) + i holds the angle of
// position row p and pair i.
struct RopeTable {
    std::uint64_t positions = 0;
    std::uint64_t dimension = 0;  // the head dimension; positive and even
    std::vector<double> cos;
    std::vector<double> sin;
};

// Row p holds the angles of position positionOffset + p. Throws std::invalid_argument for a zero
// or odd dimension, zero positions, or a base that is not finite and positive.
[[nodiscard]] RopeTable buildRopeTable(std::uint64_t positions, std::uint64_t dimension, double base,
                                       std::uint64_t positionOffset);

// Throw std::out_of_range "RoPE table index out of bounds" outside the table.
[[nodiscard]] double ropeCos(const RopeTable& table, std::uint64_t position, std::uint64_t pair);
[[nodiscard]] double ropeSin(const RopeTable& table, std::uint64_t position, std::uint64_t pair);

// Rotates query [batch*sequence, queryHeads*dimension], then key [batch*sequence,
// kvHeads*dimension], in place; the head dimension is the table's. Every position is rotated,
// padding included. A failure part-way leaves the tensors partly rotated.
void applyRopeTable(Tensor& query, Tensor& key, std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads,
                    std::uint64_t kvHeads, const RopeTable& table, bool doublePrecision, bool inverse);

// buildRopeTable(sequence, headDim, base, positionOffset) followed by applyRopeTable.
void applyRope(Tensor& query, Tensor& key, std::uint64_t batch, std::uint64_t sequence, std::uint64_t queryHeads,
               std::uint64_t kvHeads, std::uint64_t headDim, double base, std::uint64_t positionOffset,
               bool doublePrecision, bool inverse);

}  // namespace Halcyne::Core::Vestra
