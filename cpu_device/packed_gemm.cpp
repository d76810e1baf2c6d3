#include "cpu_device/packed_gemm.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <utility>

#include "cpu_device/block_pool.h"
#include "cpu_device/control.h"

namespace Halcyne::Core::Vestra::CpuDevice {
namespace {

// A tile holds Tile<Bytes>::vectors vectors of rows by Tile<Bytes>::columns columns of sums, every
// one a register for the whole loop over p: each p loads the tile's rows of A as whole vectors and
// multiplies them by one element of B per column. The lanes of a vector are independent sums, and
// each term is a multiply then an add (no fused multiply-add, whatever the instruction set), so the
// vector width chosen at run time never shows in the results. The sums, a tile's rows of A and one
// factor of B stay within the registers: with AVX-512's 32, 4 x 6 was among the fastest shapes
// measured at the trainer's products (4 x 4, 5 x 4 and 6 x 4 were as fast, 2 x 4 and 2 x 12
// slower); with the 16 of narrower vectors, 3 x 4 (the shapes that fit were within noise there).
template <std::size_t Bytes>
struct Tile {
    static constexpr int vectors = Bytes == 64 ? 4 : 3;
    static constexpr int columns = Bytes == 64 ? 6 : 4;
};
// A product spreads over the execution threads from this many multiply-adds, about what waking a
// helper costs; its columns go out in chunks so that a helper that starts late takes fewer.
constexpr std::uint64_t kSpreadProducts = std::uint64_t{1} << 19;
constexpr int kChunksPerThread = 4;
constexpr int kChunkColumns = 12;  // a multiple of every tile's columns, so that chunks split no tile

template <class T, std::size_t Bytes>
using Vector [[gnu::vector_size(Bytes)]] = T;

template <class T>
struct Problem {
    int m;
    int k;
    T alpha;
    T beta;
    GemmOperands<T> operands;
};

[[gnu::always_inline]] inline std::size_t offset(int index, std::size_t stride) {
    return static_cast<std::size_t>(index) * stride;
}

// Rows [row, row + Vectors * lanes) of columns [column, column + Columns).
template <class T, std::size_t Bytes, int Vectors, int Columns>
[[gnu::always_inline]] inline void vectorTile(const Problem<T>& problem, int row, int column) {
    using V = Vector<T, Bytes>;
    constexpr int kLanes = static_cast<int>(Bytes / sizeof(T));
    const GemmOperands<T>& o = problem.operands;
    V sums[Vectors][Columns];
#pragma GCC unroll 8
    for (int v = 0; v < Vectors; ++v) {
#pragma GCC unroll 8
        for (int j = 0; j < Columns; ++j) {
            sums[v][j] = V{};
        }
    }
    const T* a = o.a + row;
    const T* b = o.b + offset(column, o.columnStride);
    for (int p = 0; p < problem.k; ++p) {
        V run[Vectors];
#pragma GCC unroll 8
        for (int v = 0; v < Vectors; ++v) {
            std::memcpy(&run[v], a + v * kLanes, sizeof(V));
        }
#pragma GCC unroll 8
        for (int j = 0; j < Columns; ++j) {
            // x - 0.0 is x itself, signed zeros included: the compiler makes it a broadcast.
            const V factor = b[offset(j, o.columnStride)] - V{};
#pragma GCC unroll 8
            for (int v = 0; v < Vectors; ++v) {
                sums[v][j] += run[v] * factor;
            }
        }
        a += o.lda;
        b += o.depthStride;
    }
    const V alpha = problem.alpha - V{};
    const V beta = problem.beta - V{};
#pragma GCC unroll 8
    for (int j = 0; j < Columns; ++j) {
#pragma GCC unroll 8
        for (int v = 0; v < Vectors; ++v) {
            T* out = o.c + offset(column + j, o.ldc) + static_cast<std::size_t>(row + v * kLanes);
            V result = alpha * sums[v][j];
            if (problem.beta != T{0}) {
                V old;
                std::memcpy(&old, out, sizeof old);
                result = result + beta * old;
            }
            std::memcpy(out, &result, sizeof result);
        }
    }
}

// One row of the columns [column, column + Columns).
template <class T, int Columns>
[[gnu::always_inline]] inline void rowTile(const Problem<T>& problem, int row, int column) {
    const GemmOperands<T>& o = problem.operands;
    T sums[Columns] = {};
    const T* a = o.a + row;
    const T* b = o.b + offset(column, o.columnStride);
    for (int p = 0; p < problem.k; ++p) {
        const T value = *a;
#pragma GCC unroll 8
        for (int j = 0; j < Columns; ++j) {
            sums[j] += value * b[offset(j, o.columnStride)];
        }
        a += o.lda;
        b += o.depthStride;
    }
#pragma GCC unroll 8
    for (int j = 0; j < Columns; ++j) {
        T& out = o.c[offset(column + j, o.ldc) + static_cast<std::size_t>(row)];
        const T product = problem.alpha * sums[j];
        out = problem.beta == T{0} ? product : product + problem.beta * out;
    }
}

// Calls body(std::integral_constant<int, n>{}) for a run-time n in [1, Limit].
template <int Limit, class Body>
[[gnu::always_inline]] inline void withCount(int n, const Body& body) {
    [&]<int... I>(std::integer_sequence<int, I...>) {
        (void)((n == I + 1 ? (body(std::integral_constant<int, I + 1>{}), true) : false) || ...);
    }
    (std::make_integer_sequence<int, Limit>{});
}

// Every row of the columns [column, column + Columns): whole tiles, then a tile of the vectors that
// are left, then single rows.
template <class T, std::size_t Bytes, int Columns>
[[gnu::always_inline]] inline void strip(const Problem<T>& problem, int column) {
    constexpr int kLanes = static_cast<int>(Bytes / sizeof(T));
    constexpr int kVectors = Tile<Bytes>::vectors;
    int row = 0;
    for (; row + kVectors * kLanes <= problem.m; row += kVectors * kLanes) {
        vectorTile<T, Bytes, kVectors, Columns>(problem, row, column);
    }
    if (const int vectors = (problem.m - row) / kLanes; vectors > 0) {
        withCount<kVectors - 1>(
            vectors, [&](auto count) { vectorTile<T, Bytes, decltype(count)::value, Columns>(problem, row, column); });
        row += vectors * kLanes;
    }
    for (; row < problem.m; ++row) {
        rowTile<T, Columns>(problem, row, column);
    }
}

// Columns [first, last).
template <class T, std::size_t Bytes>
[[gnu::always_inline]] inline void columns(const Problem<T>& problem, int first, int last) {
    constexpr int kColumns = Tile<Bytes>::columns;
    int column = first;
    for (; column + kColumns <= last; column += kColumns) {
        strip<T, Bytes, kColumns>(problem, column);
    }
    if (column < last) {
        withCount<kColumns - 1>(last - column,
                                [&](auto count) { strip<T, Bytes, decltype(count)::value>(problem, column); });
    }
}

// The same loops compiled for 16-, 32- and 64-byte vectors; the widest the processor runs is taken.
template <class T>
void columns16(const Problem<T>& problem, int first, int last) {
    columns<T, 16>(problem, first, last);
}

template <class T>
[[gnu::target("avx2")]] void columns32(const Problem<T>& problem, int first, int last) {
    columns<T, 32>(problem, first, last);
}

template <class T>
[[gnu::target("avx512f")]] void columns64(const Problem<T>& problem, int first, int last) {
    columns<T, 64>(problem, first, last);
}

}  // namespace

template <class T>
void tiledGemm(int m, int n, int k, T alpha, T beta, const GemmOperands<T>& operands) {
    static const auto chosen = [] {
        if (__builtin_cpu_supports("avx512f")) {
            return &columns64<T>;
        }
        return __builtin_cpu_supports("avx2") ? &columns32<T> : &columns16<T>;
    }();
    const Problem<T> problem{m, k, alpha, beta, operands};
    const int chunks = (n + kChunkColumns - 1) / kChunkColumns;
    const std::uint64_t products = std::uint64_t(m) * std::uint64_t(n) * std::uint64_t(k);
    const unsigned participants =
        products < kSpreadProducts ? 1u
                                   : static_cast<unsigned>(std::min<int>(static_cast<int>(executionThreads()), chunks));
    if (participants <= 1) {
        chosen(problem, 0, n);
        return;
    }
    const int chunk = kChunkColumns * std::max(1, chunks / (static_cast<int>(participants) * kChunksPerThread));
    std::atomic<int> next{0};
    BlockPool::instance().run(participants, [&] {
        for (int first = next.fetch_add(chunk, std::memory_order_relaxed); first < n;
             first = next.fetch_add(chunk, std::memory_order_relaxed)) {
            chosen(problem, first, std::min(n, first + chunk));
        }
    });
}

template void tiledGemm<double>(int, int, int, double, double, const GemmOperands<double>&);
template void tiledGemm<float>(int, int, int, float, float, const GemmOperands<float>&);

}  // namespace Halcyne::Core::Vestra::CpuDevice
