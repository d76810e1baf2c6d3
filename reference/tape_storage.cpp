#include "reference/tape_storage.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace Halcyne::Core::Vestra {
namespace {

// Huge pages for the whole 2 MiB pages inside a fresh array, before anything touches it; a hint the
// system may ignore.
void adviseHugePages([[maybe_unused]] void* begin, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    const auto first = (reinterpret_cast<std::uintptr_t>(begin) + kHugePage - 1) / kHugePage * kHugePage;
    const auto last = (reinterpret_cast<std::uintptr_t>(begin) + bytes) / kHugePage * kHugePage;
    if (last > first) {
        (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#endif
}

// Guards a slot for the few instructions of a swap. A spin lock rather than std::mutex, which the
// standard library of the Windows cross build (win32 threads) does not have.
class SlotLock {
  public:
    void lock() noexcept {
        while (busy_.test_and_set(std::memory_order_acquire)) {
        }
    }
    void unlock() noexcept { busy_.clear(std::memory_order_release); }

  private:
    std::atomic_flag busy_;
};

// The kept array with what is known of its elements: for adjoints, whether every one is zero.
template <class T>
struct Kept {
    std::vector<T> array;
    bool zeroed = false;
};

template <class T>
class StorageSlot {
  public:
    // The kept array when it has room for count and is not more than twice that, otherwise a fresh
    // one with room for exactly count (the kept one released); either holds its old elements, or none.
    Kept<T> take(std::uint64_t count) {
        Kept<T> storage;
        {
            const std::lock_guard lock(lock_);
            std::swap(storage, kept_);
        }
        if (storage.array.capacity() >= count && storage.array.capacity() / 2 <= count) {
            return storage;
        }
        // Released before the fresh one is made, so the two are never held together.
        storage = Kept<T>();
        Kept<T> fresh;
        fresh.array.reserve(count);
        adviseHugePages(fresh.array.data(), fresh.array.capacity() * sizeof(T));
        fresh.zeroed = true;
        return fresh;
    }

    void keep(Kept<T> storage) noexcept {
        const std::lock_guard lock(lock_);
        // The latest array is the likeliest to fit the next call; a larger one kept from an
        // earlier, larger batch would hold memory no call needs any more.
        std::swap(storage, kept_);
        // The other array is released here, on leaving.
    }

  private:
    SlotLock lock_;
    Kept<T> kept_;
};

// Never destroyed: a tape may be released during static destruction.
StorageSlot<TapeNode>& nodeSlot() {
    static auto& slot = *new StorageSlot<TapeNode>;
    return slot;
}

StorageSlot<double>& adjointSlot() {
    static auto& slot = *new StorageSlot<double>;
    return slot;
}

}  // namespace

std::vector<TapeNode> takeNodeStorage(std::uint64_t count) {
    std::vector<TapeNode> nodes = nodeSlot().take(count).array;
    nodes.resize(count);
    return nodes;
}

std::vector<double> takeAdjointStorage(std::uint64_t count) {
    Kept<double> adjoint = adjointSlot().take(count);
    if (adjoint.zeroed) {
        // Elements past the kept size are value-initialised: zero.
        adjoint.array.resize(count);
    } else {
        adjoint.array.assign(count, 0.0);
    }
    return std::move(adjoint.array);
}

void keepNodeStorage(std::vector<TapeNode> nodes) noexcept {
    nodeSlot().keep({std::move(nodes), false});
}

void keepAdjointStorage(std::vector<double> adjoint, bool zeroed) noexcept {
    adjointSlot().keep({std::move(adjoint), zeroed});
}

}  // namespace Halcyne::Core::Vestra
