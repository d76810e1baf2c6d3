// The CUDA C++ kernel vocabulary for device sources compiled by the host compiler: qualifiers,
// index variables, barriers, warp exchanges, atomics and shared memory. A block's threads run as
// fibers of one host thread, so the index variables are thread_local values that the executor sets
// before it runs or resumes each CUDA thread. There is no `__shared__`: kernels declare shared
// arrays through VESTRA_SHARED_ARRAY, which places them in the block's shared memory.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline __attribute__((always_inline))

struct uint3 {
    unsigned int x;
    unsigned int y;
    unsigned int z;
};

struct dim3 {
    unsigned int x;
    unsigned int y;
    unsigned int z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
};

inline constinit thread_local uint3 threadIdx{0, 0, 0};
inline constinit thread_local uint3 blockIdx{0, 0, 0};
inline constinit thread_local dim3 blockDim{1, 1, 1};
inline constinit thread_local dim3 gridDim{1, 1, 1};

// Waits until every thread of the block has reached the barrier. A barrier that only part of the
// block reaches, or threads that wait at barriers in different places (`file` and `line`, which the
// caller leaves to their defaults), end the launch with cudaErrorLaunchFailure instead of hanging
// (see CpuDevice::lastKernelFault). Only valid inside a kernel launched through cudaLaunchKernelEx.
void __syncthreads(const char* file = __builtin_FILE(), int line = __builtin_LINE());

namespace Halcyne::Core::Vestra::CpuDevice {

// The warp-level calls of the kernel language; warps are 32 consecutive threads of a block, in the
// order of their linear index (x fastest), as on a GPU.
enum class WarpOperation : std::uint8_t { Sync, Shuffle, ShuffleUp, ShuffleDown, ShuffleXor };

inline constexpr unsigned kWarpLanes = 32;

// The calling CUDA thread meets the threads of its warp that `mask` names, each of which must reach
// the same operation with the same mask; gives the `value` that the thread at the lane the operation
// selects (`operand`: the source lane, the delta or the lane mask, within segments of `width` lanes)
// brought, or its own where that lane lies outside its segment. A mask that does not name the
// caller, names a thread that never arrives or that the block does not have, a width that is not a
// power of two up to 32 fails the launch like a barrier that only part of a block reaches
// (cudaErrorLaunchFailure, CpuDevice::lastKernelFault); a source lane the mask does not name gives
// all-ones bits (NaN), as unwritten memory does.
std::uint64_t warpExchange(WarpOperation operation, unsigned mask, std::uint64_t value, int operand, int width);

template <class T>
T warpShuffle(WarpOperation operation, unsigned mask, T value, int operand, int width) {
    static_assert(std::is_arithmetic_v<T> && (sizeof(T) == 4 || sizeof(T) == 8),
                  "warp shuffles move 32- and 64-bit arithmetic values");
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    const std::uint64_t bits = warpExchange(operation, mask, std::bit_cast<Bits>(value), operand, width);
    return std::bit_cast<T>(static_cast<Bits>(bits));
}

}  // namespace Halcyne::Core::Vestra::CpuDevice

// CUDA's warp width and its warp-synchronous calls, with their semantics (see warpExchange).
inline constexpr int warpSize = 32;

inline void __syncwarp(unsigned mask = 0xFFFFFFFFu) {
    (void)Halcyne::Core::Vestra::CpuDevice::warpExchange(Halcyne::Core::Vestra::CpuDevice::WarpOperation::Sync, mask, 0,
                                                         0, warpSize);
}

template <class T>
T __shfl_sync(unsigned mask, T var, int srcLane, int width = warpSize) {
    using Halcyne::Core::Vestra::CpuDevice::WarpOperation;
    return Halcyne::Core::Vestra::CpuDevice::warpShuffle(WarpOperation::Shuffle, mask, var, srcLane, width);
}

template <class T>
T __shfl_up_sync(unsigned mask, T var, unsigned delta, int width = warpSize) {
    using Halcyne::Core::Vestra::CpuDevice::WarpOperation;
    return Halcyne::Core::Vestra::CpuDevice::warpShuffle(WarpOperation::ShuffleUp, mask, var, static_cast<int>(delta),
                                                         width);
}

template <class T>
T __shfl_down_sync(unsigned mask, T var, unsigned delta, int width = warpSize) {
    using Halcyne::Core::Vestra::CpuDevice::WarpOperation;
    return Halcyne::Core::Vestra::CpuDevice::warpShuffle(WarpOperation::ShuffleDown, mask, var, static_cast<int>(delta),
                                                         width);
}

template <class T>
T __shfl_xor_sync(unsigned mask, T var, int laneMask, int width = warpSize) {
    using Halcyne::Core::Vestra::CpuDevice::WarpOperation;
    return Halcyne::Core::Vestra::CpuDevice::warpShuffle(WarpOperation::ShuffleXor, mask, var, laneMask, width);
}

namespace Halcyne::Core::Vestra::CpuDevice {

// Set while checking: atomics then tell the race checks which bytes they update.
inline constinit std::atomic<bool> noteAtomics{false};
void noteAtomic(const void* address, std::size_t bytes) noexcept;

}  // namespace Halcyne::Core::Vestra::CpuDevice

// The blocks of one launch run on several host threads, so this is a real atomic; relaxed, as
// CUDA's own are. Returns the value before the update.
inline int atomicOr(int* address, int value) {
    if (Halcyne::Core::Vestra::CpuDevice::noteAtomics.load(std::memory_order_relaxed)) {
        Halcyne::Core::Vestra::CpuDevice::noteAtomic(address, sizeof(int));
    }
    return std::atomic_ref<int>(*address).fetch_or(value, std::memory_order_relaxed);
}

namespace Halcyne::Core::Vestra::CpuDevice {

// The running block's dynamic shared memory (the launch's dynamicSmemBytes, 256-byte aligned and
// filled with 0xFF bytes, a NaN pattern, before every block so that reads before writes show).
[[nodiscard]] void* dynamicSharedMemory() noexcept;

// Storage for one `__shared__` array of the running block, taken from the block's shared memory in
// declaration order (every thread of the block declares the same arrays in the same order), so that
// it is filled and watched like dynamic shared memory. Use it through VESTRA_SHARED_ARRAY.
[[nodiscard]] void* staticSharedArray(std::size_t bytes, std::size_t alignment) noexcept;

template <class T>
[[nodiscard]] T* staticSharedArray(std::size_t count) noexcept {
    return static_cast<T*>(staticSharedArray(count * sizeof(T), alignof(T)));
}

// Records the bytes of a kernel's `__shared__` variables, which nvcc would count itself: launches
// count them against the per-block limit and cudaFuncGetAttributes reports them. Returns true, to
// initialise the constant that VESTRA_STATIC_SHARED_BYTES declares.
bool registerStaticSharedBytes(const void* kernel, std::size_t bytes) noexcept;

template <class... Params>
bool registerStaticSharedBytes(void (*kernel)(Params...), std::size_t bytes) noexcept {
    return registerStaticSharedBytes(reinterpret_cast<const void*>(kernel), bytes);
}

// A pointer argument of a launch, which checking mode watches: what it reads must have been
// written, and what the launch changes in the allocation it points into is checked for races. A
// class-type argument is kept as its bytes, where checking mode looks for pointers to watch too.
struct LaunchPointer {
    const void* address;
    std::size_t elementBytes;  // 1 for void
    bool readOnly;
    const void* aggregate = nullptr;
    std::size_t aggregateBytes = 0;

    template <class T>
    static LaunchPointer of(const T& value) {
        if constexpr (std::is_pointer_v<T>) {
            using Element = std::remove_pointer_t<T>;
            constexpr std::size_t size = [] {
                if constexpr (std::is_void_v<Element>) {
                    return std::size_t{1};
                } else {
                    return sizeof(Element);
                }
            }();
            return {static_cast<const void*>(value), size, std::is_const_v<Element>};
        } else if constexpr (std::is_class_v<T>) {
            return {nullptr, 0, true, static_cast<const void*>(&value), sizeof(T)};
        } else {
            return {nullptr, 0, true};
        }
    }
};

// Sets threadIdx to the CUDA thread of `block` whose linear index is `linear` (x fastest).
inline void setThreadIndex(const dim3& block, unsigned linear) {
    if (block.y == 1 && block.z == 1) {
        threadIdx = {linear, 0, 0};
        return;
    }
    const unsigned rest = linear / block.x;
    threadIdx = {linear % block.x, rest % block.y, rest / block.y};
}

// Sequential: one fiber runs the block's threads in turn (the barrier-free fast path).
// Fibers: every thread has its own fiber, switched at barriers.
enum class Mode : std::uint8_t { Sequential, Fibers };

// What the barrier-free pass over a block needs from the host thread that runs it: the threads run
// one after another, in ascending (or descending) order, until all have returned or the block has
// turned into fibers.
struct ThreadSweep {
    unsigned threads;
    bool reverse;                 // descending order instead
    unsigned* current;            // the CUDA thread running
    std::uint32_t* staticCursor;  // per thread: the bytes of static shared arrays it has taken
    const Mode* mode;
};

// A kernel call with its arguments bound, run once per CUDA thread: `invoke` runs it for the thread
// whose index is set; `sweep` runs the pass above with the call inlined into its loop, which spares
// a block of many short threads two indirect calls each.
struct KernelBody {
    void (*invoke)(const void* closure);
    const void* closure;
    void (*sweep)(const void* closure, const ThreadSweep& sweep);

    template <class Function>
    static KernelBody of(const Function& function) {
        return {[](const void* bound) { (*static_cast<const Function*>(bound))(); }, &function,
                [](const void* bound, const ThreadSweep& sweep) {
                    const Function& run = *static_cast<const Function*>(bound);
                    const dim3 block = blockDim;
                    for (unsigned position = 0; position < sweep.threads; ++position) {
                        const unsigned thread = sweep.reverse ? sweep.threads - 1 - position : position;
                        *sweep.current = thread;
                        sweep.staticCursor[thread] = 0;
                        setThreadIndex(block, thread);
                        run();
                        if (*sweep.mode != Mode::Sequential) {
                            return;
                        }
                    }
                }};
    }
};

}  // namespace Halcyne::Core::Vestra::CpuDevice

// Declares the static shared memory of a kernel that has `__shared__` variables, at namespace scope
// right after the kernel: VESTRA_STATIC_SHARED_BYTES(someKernel, 128 * sizeof(double));
// A kernel without the declaration counts as having none. Registered before main starts.
#define VESTRA_STATIC_SHARED_BYTES(kernel, bytes)                                                 \
    static_assert((bytes) <= 49152, "static shared memory beyond what a block may have");         \
    [[maybe_unused]] const bool VESTRA_STATIC_SHARED_NAME(vestraStaticSharedBytes, __COUNTER__) = \
        ::Halcyne::Core::Vestra::CpuDevice::registerStaticSharedBytes(kernel, bytes)
#define VESTRA_STATIC_SHARED_NAME(prefix, counter) VESTRA_STATIC_SHARED_JOIN(prefix, counter)
#define VESTRA_STATIC_SHARED_JOIN(prefix, counter) prefix##counter
