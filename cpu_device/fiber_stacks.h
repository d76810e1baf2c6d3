// Stacks for the fibers that run a block's CUDA threads on one host thread: one per thread of the
// largest block (1024), reserved once as a single mapping with a guard page below each stack, so
// starting a fiber costs no allocation. Pages are committed only when a fiber first touches them.
#pragma once

#include <cstddef>

namespace Halcyne::Core::Vestra::CpuDevice {

class FiberStacks {
  public:
    static constexpr unsigned kMaxStacks = 1024;

    FiberStacks() = default;
    FiberStacks(const FiberStacks&) = delete;
    FiberStacks& operator=(const FiberStacks&) = delete;
    ~FiberStacks();

    // Makes stacks [0, count) usable; count is at most kMaxStacks.
    void reserve(unsigned count);

    [[nodiscard]] void* bottom(unsigned index) const noexcept;
    [[nodiscard]] void* top(unsigned index) const noexcept;
    [[nodiscard]] static std::size_t size() noexcept;

    // Forgets what abandoned fibers left on stacks [0, count): the sanitizer's poisoning of their
    // frames would otherwise outlive them and trip the next fiber that uses the memory.
    void discardFrames(unsigned count) const noexcept;

  private:
    unsigned char* region_ = nullptr;
    unsigned guarded_ = 0;
};

}  // namespace Halcyne::Core::Vestra::CpuDevice
