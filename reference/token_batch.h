// A batch of token rows, shared by the forward pass, the tape, cross-entropy and the trainers.
// Positions at or beyond a row's length are padding: never looked up, never scored, never a target.
#pragma once

#include <cstdint>
#include <vector>

namespace Halcyne::Core::Vestra {

struct TokenBatch {
    std::uint64_t batch = 0;             // rows
    std::uint64_t width = 0;             // positions per row
    std::vector<std::uint32_t> tokens;   // batch*width ids; row b, position s at b*width + s
    std::vector<std::uint64_t> lengths;  // empty (every row has length width) or one per row
    std::vector<std::uint8_t> lossMask;  // empty (every used position is a target) or batch*width bytes
};

}  // namespace Halcyne::Core::Vestra
