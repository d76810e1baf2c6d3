// Device memory owned by a scope: taken from the context's allocator on the context's stream and
// given back the same way, with the byte count it was taken with, when the buffer goes away. A
// count of 0 holds no memory and never calls the allocator.
#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>

#include "cuda/transformer_cuda_context.h"
#include "cuda/transformer_cuda_error.h"

namespace Halcyne::Core::Vestra {

template <class T>
class DeviceBuffer {
  public:
    DeviceBuffer() = default;

    // Throws std::overflow_error when the byte count passes 64 bits, TransformerCudaError kind
    // Context when memory is needed and the context has no allocator, and whatever the allocator
    // throws.
    DeviceBuffer(const TransformerCudaContext& context, std::uint64_t count) : context_(&context), count_(count) {
        if (count == 0) {
            return;
        }
        if (count > std::numeric_limits<std::uint64_t>::max() / sizeof(T)) {
            throw std::overflow_error("device buffer byte count overflows 64 bits");
        }
        if (context.allocator == nullptr) {
            throw TransformerCudaError(TransformerCudaErrorKind::Context, "incomplete CUDA training context");
        }
        pointer_ = static_cast<T*>(context.allocator->allocate(bytes(), context.stream));
    }

    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    DeviceBuffer(DeviceBuffer&& other) noexcept
        : context_(other.context_),
          count_(std::exchange(other.count_, 0)),
          pointer_(std::exchange(other.pointer_, nullptr)) {}

    DeviceBuffer& operator=(DeviceBuffer&& other) noexcept {
        if (this != &other) {
            release();
            context_ = other.context_;
            count_ = std::exchange(other.count_, 0);
            pointer_ = std::exchange(other.pointer_, nullptr);
        }
        return *this;
    }

    ~DeviceBuffer() { release(); }

    [[nodiscard]] T* get() const noexcept { return pointer_; }
    [[nodiscard]] std::uint64_t count() const noexcept { return count_; }
    [[nodiscard]] std::uint64_t bytes() const noexcept { return count_ * sizeof(T); }
    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }

  private:
    void release() noexcept {
        if (pointer_ != nullptr) {
            context_->allocator->deallocate(pointer_, bytes(), context_->stream);
            pointer_ = nullptr;
        }
        count_ = 0;
    }

    const TransformerCudaContext* context_ = nullptr;
    std::uint64_t count_ = 0;
    T* pointer_ = nullptr;
};

}  // namespace Halcyne::Core::Vestra
