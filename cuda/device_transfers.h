// The transfer discipline of all CUDA code: uploads, clears and downloads on the context stream,
// one kernel check per group of launches, one synchronisation before downloaded data is read. Each
// call checks its status under the operation's name ("upload logits", "clear resident gradient",
// "download losses", "cross-entropy kernel", "synchronize AdamW"), so a failure reads
// "<operation>: <runtime error string>".
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "cuda/device_buffer.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

void copyToDevice(const TransformerCudaContext& context, void* device, const void* host, std::uint64_t bytes,
                  const char* operation);
void copyToHost(const TransformerCudaContext& context, void* host, const void* device, std::uint64_t bytes,
                const char* operation);
void clearDevice(const TransformerCudaContext& context, void* device, std::uint64_t bytes, const char* operation);

// Checks cudaGetLastError() after the last launch of a group ("... kernel" or "... kernels").
void checkKernels(const char* operation);

// cudaStreamSynchronize on the context stream ("synchronize ...").
void synchronize(const TransformerCudaContext& context, const char* operation);

// Throws std::invalid_argument "<operation>: host and device element counts differ".
void requireSameCount(std::uint64_t host, std::uint64_t device, const char* operation);

// A new buffer holding the host values; an empty host range gives an empty buffer and no upload.
template <class T>
[[nodiscard]] DeviceBuffer<T> uploadBuffer(const TransformerCudaContext& context, std::span<const T> host,
                                           const char* operation) {
    DeviceBuffer<T> buffer(context, host.size());
    if (!host.empty()) {
        copyToDevice(context, buffer.get(), host.data(), buffer.bytes(), operation);
    }
    return buffer;
}

template <class T>
[[nodiscard]] DeviceBuffer<T> uploadBuffer(const TransformerCudaContext& context, const std::vector<T>& host,
                                           const char* operation) {
    return uploadBuffer(context, std::span<const T>(host), operation);
}

// Into an existing buffer of the same element count.
template <class T>
void upload(const TransformerCudaContext& context, DeviceBuffer<T>& device,
            std::type_identity_t<std::span<const T>> host, const char* operation) {
    requireSameCount(host.size(), device.count(), operation);
    if (!host.empty()) {
        copyToDevice(context, device.get(), host.data(), device.bytes(), operation);
    }
}

// A new buffer of count zeros.
template <class T>
[[nodiscard]] DeviceBuffer<T> clearedBuffer(const TransformerCudaContext& context, std::uint64_t count,
                                            const char* operation) {
    DeviceBuffer<T> buffer(context, count);
    if (count > 0) {
        clearDevice(context, buffer.get(), buffer.bytes(), operation);
    }
    return buffer;
}

template <class T>
void clear(const TransformerCudaContext& context, DeviceBuffer<T>& device, const char* operation) {
    if (!device.empty()) {
        clearDevice(context, device.get(), device.bytes(), operation);
    }
}

// Into host memory sized beforehand; readable only after the next synchronize.
template <class T>
void download(const TransformerCudaContext& context, std::type_identity_t<std::span<T>> host,
              const DeviceBuffer<T>& device, const char* operation) {
    requireSameCount(host.size(), device.count(), operation);
    if (!host.empty()) {
        copyToHost(context, host.data(), device.get(), device.bytes(), operation);
    }
}

}  // namespace Halcyne::Core::Vestra
