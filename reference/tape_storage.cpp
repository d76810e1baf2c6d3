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

template <class T>
class StorageSlot {
  public:
    std::vector<T> take(std::uint64_t count) {
        std::vector<T> storage;
        {
            const std::lock_guard lock(lock_);
            storage.swap(kept_);
        }
        if (storage.capacity() >= count && storage.capacity() / 2 <= count) {
            storage.clear();
            return storage;
        }
        keep(std::move(storage));
        std::vector<T> fresh;
        fresh.reserve(count);
        adviseHugePages(fresh.data(), fresh.capacity() * sizeof(T));
        return fresh;
    }

    void keep(std::vector<T> storage) noexcept {
        const std::lock_guard lock(lock_);
        if (storage.capacity() > kept_.capacity()) {
            storage.swap(kept_);
        }
        // The smaller array is released here, on leaving.
    }

  private:
    SlotLock lock_;
    std::vector<T> kept_;
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
    return nodeSlot().take(count);
}

std::vector<double> takeAdjointStorage(std::uint64_t count) {
    return adjointSlot().take(count);
}

void keepNodeStorage(std::vector<TapeNode> nodes) noexcept {
    nodeSlot().keep(std::move(nodes));
}

void keepAdjointStorage(std::vector<double> adjoint) noexcept {
    adjointSlot().keep(std::move(adjoint));
}

}  // namespace Halcyne::Core::Vestra
