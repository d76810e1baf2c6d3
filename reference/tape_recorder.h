// The writer of gradientForward's node array, internal to the reference tape. The nodes of a large
// tape go out with streaming stores where the target has them: such an array (hundreds of megabytes
// at the community shape) is written once in order and read again only by the backward sweep, so an
// ordinary store would first read every line it fills. A streamed line is not in the cache and may
// still sit in a write-combining buffer, so nothing reads a node back while recording: each recorded
// scalar travels as a TapeVar, its node index with its value.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "reference/tape.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#define VESTRA_TAPE_STREAMING_STORES 1
#endif

namespace Halcyne::Core::Vestra::TapeRecording {

struct TapeVar {
    std::uint64_t node = noTapeParent;
    double value = 0.0;
};
using VarList = std::vector<TapeVar>;

// The leaves of one weight tensor with the tensor's values.
struct WeightVars {
    TapeLeaves leaves;
    const double* values = nullptr;

    [[nodiscard]] TapeVar operator[](std::uint64_t element) const { return {leaves.first + element, values[element]}; }
};

// A tape smaller than this is written with ordinary stores: it fits in the caches, where the
// backward sweep finds it.
inline constexpr std::uint64_t kStreamingTapeBytes = std::uint64_t{16} << 20;

inline void writeNode(TapeNode* at, bool streaming, double value, std::uint64_t parent0, double partial0,
                      std::uint64_t parent1, double partial1) noexcept {
#if defined(VESTRA_TAPE_STREAMING_STORES)
    if (streaming) {
        auto* word = reinterpret_cast<long long*>(at);
        _mm_stream_si64(word, std::bit_cast<long long>(value));
        _mm_stream_si64(word + 1, static_cast<long long>(parent0));
        _mm_stream_si64(word + 2, static_cast<long long>(parent1));
        _mm_stream_si64(word + 3, std::bit_cast<long long>(partial0));
        _mm_stream_si64(word + 4, std::bit_cast<long long>(partial1));
        return;
    }
#else
    (void)streaming;
#endif
    *at = TapeNode{value, parent0, parent1, partial0, partial1};
}

[[noreturn]] inline void throwNonFinite() {
    throw std::domain_error("gradient forward produced NaN/Inf");
}

// Writes nodes in order into an array that already holds at least as many elements as will be
// recorded (their contents are overwritten); finish() trims it to the recorded count. Every
// primitive checks its value, except that a dot product checks only its last sum: once a product or
// a sum is NaN or infinite, every later sum of the chain is too.
class Recorder {
  public:
    // streaming asks for streaming stores (kept to ordinary ones where the target has none).
    Recorder(std::vector<TapeNode>& nodes, bool streaming)
        : nodes_(nodes), base_(nodes.data()), streaming_(streaming) {}

    // Makes the streamed nodes visible to other threads and gives the array its recorded size.
    void finish() {
#if defined(VESTRA_TAPE_STREAMING_STORES)
        _mm_sfence();
#endif
        nodes_.resize(next_);
    }

    TapeVar constant(double c) {
        return push(c, noTapeParent, 0.0, noTapeParent, 0.0);
    }

    // A block of zero constants for a zero-initialised list; no finite check is needed.
    std::uint64_t zeros(std::uint64_t count) {
        room(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            writeNode(base_ + next_ + i, streaming_, 0.0, noTapeParent, 0.0, noTapeParent, 0.0);
        }
        next_ += count;
        return next_ - count;
    }

    // One leaf per element of a weight tensor, in element order.
    WeightVars leaves(const Tensor& tensor) {
        const WeightVars vars{{next_, tensor.values.size()}, tensor.values.data()};
        for (const double element : tensor.values) {
            push(element, noTapeParent, 0.0, noTapeParent, 0.0);
        }
        return vars;
    }

    TapeVar copy(TapeVar a) {
        return push(a.value, a.node, 1.0, noTapeParent, 0.0);
    }
    TapeVar add(TapeVar a, TapeVar b) {
        return push(a.value + b.value, a.node, 1.0, b.node, 1.0);
    }
    TapeVar subtract(TapeVar a, TapeVar b) {
        return push(a.value - b.value, a.node, 1.0, b.node, -1.0);
    }
    TapeVar multiply(TapeVar a, TapeVar b) {
        return push(a.value * b.value, a.node, b.value, b.node, a.value);
    }
    // The reciprocal is taken once and multiplied by, so the value can differ from a / b by rounding.
    TapeVar divide(TapeVar a, TapeVar b) {
        const double r = 1.0 / b.value;
        return push(a.value * r, a.node, r, b.node, -a.value * r * r);
    }
    TapeVar exp(TapeVar a) {
        const double e = std::exp(a.value);
        return push(e, a.node, e, noTapeParent, 0.0);
    }
    TapeVar erf(TapeVar a) {
        // 2 / sqrt(pi)
        return push(std::erf(a.value), a.node, std::exp(-a.value * a.value) * 1.1283791670955126, noTapeParent, 0.0);
    }
    TapeVar sqrt(TapeVar a) {
        const double root = std::sqrt(a.value);
        return push(root, a.node, 0.5 / root, noTapeParent, 0.0);
    }

    // A zero constant, then for each k the product a[k] * b(k) and its sum with the running sum:
    // what constant, multiply and add record one at a time. b(k) gives the second operand.
    template <class Second>
    TapeVar dotProduct(const TapeVar* a, Second&& b, std::uint64_t count) {
        room(2 * count + 1);
        TapeNode* at = base_ + next_;
        writeNode(at++, streaming_, 0.0, noTapeParent, 0.0, noTapeParent, 0.0);
        TapeVar sum{next_, 0.0};
        std::uint64_t node = next_ + 1;
        for (std::uint64_t k = 0; k < count; ++k) {
            const TapeVar x = a[k];
            const TapeVar y = b(k);
            const double product = x.value * y.value;
            writeNode(at++, streaming_, product, x.node, y.value, y.node, x.value);
            const double total = sum.value + product;
            writeNode(at++, streaming_, total, sum.node, 1.0, node, 1.0);
            sum = {node + 1, total};
            node += 2;
        }
        if (!std::isfinite(sum.value)) [[unlikely]] {
            throwNonFinite();
        }
        next_ = node;
        return sum;
    }

    // For each d, sums[d] + p * v[d]: the product, then the sum, which replaces sums[d].
    void addScaled(TapeVar* sums, TapeVar p, const TapeVar* v, std::uint64_t count) {
        room(2 * count);
        TapeNode* at = base_ + next_;
        std::uint64_t node = next_;
        bool finite = true;
        for (std::uint64_t d = 0; d < count; ++d) {
            const double product = p.value * v[d].value;
            writeNode(at++, streaming_, product, p.node, v[d].value, v[d].node, p.value);
            const double total = sums[d].value + product;
            writeNode(at++, streaming_, total, sums[d].node, 1.0, node, 1.0);
            finite = finite && std::isfinite(total);
            sums[d] = {node + 1, total};
            node += 2;
        }
        if (!finite) [[unlikely]] {
            throwNonFinite();
        }
        next_ = node;
    }

  private:
    TapeVar push(double value, std::uint64_t parent0, double partial0, std::uint64_t parent1, double partial1) {
        if (!std::isfinite(value)) [[unlikely]] {
            throwNonFinite();
        }
        room(1);
        writeNode(base_ + next_, streaming_, value, parent0, partial0, parent1, partial1);
        return {next_++, value};
    }

    // The array is sized up front to the exact count, so it grows only if that count was short.
    void room(std::uint64_t count) {
        if (nodes_.size() - next_ < count) [[unlikely]] {
            nodes_.resize(std::max(next_ + count, 2 * nodes_.size()));
            base_ = nodes_.data();
        }
    }

    std::vector<TapeNode>& nodes_;
    TapeNode* base_;
    bool streaming_;
    std::uint64_t next_ = 0;
};

}  // namespace Halcyne::Core::Vestra::TapeRecording
