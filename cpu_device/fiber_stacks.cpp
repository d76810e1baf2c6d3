#include "cpu_device/fiber_stacks.h"

#include <new>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "cpu_device/sanitizer.h"

namespace Halcyne::Core::Vestra::CpuDevice {
namespace {

// Kernels keep small frames, but sanitizer builds add red zones around every local.
#if VESTRA_CPU_DEVICE_ASAN
constexpr std::size_t kStackBytes = 256 * 1024;
#else
constexpr std::size_t kStackBytes = 64 * 1024;
#endif
constexpr std::size_t kGuardBytes = 64 * 1024;  // a multiple of every page size in use
constexpr std::size_t kSlotBytes = kStackBytes + kGuardBytes;
constexpr std::size_t kRegionBytes = kSlotBytes * FiberStacks::kMaxStacks;

unsigned char* reserveRegion() {
#if defined(_WIN32)
    void* region = VirtualAlloc(nullptr, kRegionBytes, MEM_RESERVE, PAGE_NOACCESS);
    if (region == nullptr) {
        throw std::bad_alloc();
    }
#else
    void* region =
        mmap(nullptr, kRegionBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) {
        throw std::bad_alloc();
    }
#endif
    return static_cast<unsigned char*>(region);
}

// Makes a slot's stack usable and its guard (the lowest part of the slot) inaccessible.
void prepareSlot(unsigned char* slot) {
#if defined(_WIN32)
    const bool prepared = VirtualAlloc(slot + kGuardBytes, kStackBytes, MEM_COMMIT, PAGE_READWRITE) != nullptr;
#else
    const bool prepared = mprotect(slot, kGuardBytes, PROT_NONE) == 0;
#endif
    if (!prepared) {
        throw std::bad_alloc();
    }
}

}  // namespace

FiberStacks::~FiberStacks() {
    if (region_ == nullptr) {
        return;
    }
#if defined(_WIN32)
    VirtualFree(region_, 0, MEM_RELEASE);
#else
    munmap(region_, kRegionBytes);
#endif
}

void FiberStacks::reserve(unsigned count) {
    if (region_ == nullptr) {
        region_ = reserveRegion();
    }
    for (; guarded_ < count; ++guarded_) {
        prepareSlot(region_ + guarded_ * kSlotBytes);
    }
}

void* FiberStacks::bottom(unsigned index) const noexcept {
    return region_ + index * kSlotBytes + kGuardBytes;
}

void* FiberStacks::top(unsigned index) const noexcept {
    return region_ + (index + 1) * kSlotBytes;
}

std::size_t FiberStacks::size() noexcept {
    return kStackBytes;
}

void FiberStacks::discardFrames(unsigned count) const noexcept {
#if VESTRA_CPU_DEVICE_ASAN
    for (unsigned index = 0; index < count; ++index) {
        __asan_unpoison_memory_region(bottom(index), kStackBytes);
    }
#else
    (void)count;
#endif
}

}  // namespace Halcyne::Core::Vestra::CpuDevice
