#include "cpu_device/device_state.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "cpu_device/sanitizer.h"

namespace Halcyne::Core::Vestra::CpuDevice {
namespace {

constexpr std::size_t kAllocationAlignment = 256;
// Every allocation sits between guard zones: kGuardBytes before it and, after it, the rest of its last
// 256-byte unit and kGuardBytes more, filled with kGuardByte. A launch or free that finds one changed
// reports an illegal address; the sanitizer build also poisons them, so stray reads are caught too.
constexpr std::size_t kGuardBytes = 256;
constexpr unsigned char kGuardByte = kGuardFill;
// Freed memory waits here, while checking, before going back to the host, so that a stale pointer
// cannot reach a fresh allocation; the oldest leaves once the quarantine holds more than this.
constexpr std::size_t kQuarantineBytes = std::size_t{256} << 20;
// What the stand-in device holds at once; beyond it cudaMallocAsync reports out of memory, as a
// GPU would, instead of letting the host swap or the sanitizer abort on a huge request.
constexpr std::size_t kDeviceCapacityBytes = std::size_t{8} << 30;

struct PendingFault {
    FaultSite site;
    std::uint64_t remaining;
    int status;
};

void unpoison(const void* begin, std::size_t bytes);
void release(unsigned char* base);

struct Allocation {
    std::size_t bytes;
    std::vector<std::uint8_t> written;  // while checking: 1 for each byte written since allocation
};

struct Quarantined {
    unsigned char* base;
    std::size_t span;
    std::size_t bytes;
};

struct DeviceState {
    std::mutex mutex;
    std::map<const unsigned char*, Allocation, std::greater<>> allocations;     // start -> allocation
    std::map<const unsigned char*, Quarantined, std::greater<>> quarantinedAt;  // base -> the entry
    std::deque<const unsigned char*> quarantineOrder;                           // bases, oldest first
    std::size_t quarantinedBytes = 0;
    // Freed allocations the pool keeps for reuse, by span, up to the pool's release threshold.
    std::multimap<std::size_t, unsigned char*> pooled;
    std::size_t pooledBytes = 0;
    std::size_t allocatedBytes = 0;
    std::map<const unsigned char*, std::size_t, std::greater<>> pinned;  // page-locked host memory: start -> bytes
    std::set<cudaStream_t> streams;
    std::set<cublasHandle_t> handles;
    std::vector<PendingFault> faults;
    std::string kernelFault;

    ~DeviceState() {
        for (const auto& [base, held] : quarantinedAt) {
            unpoison(held.base, held.span);
            release(held.base);
        }
        for (const auto& [span, base] : pooled) {
            unpoison(base, span);
            release(base);
        }
    }
};

DeviceState& state() {
    static DeviceState instance;
    return instance;
}

constinit thread_local cudaError_t lastError = cudaSuccess;

std::atomic<bool>& checkingSwitch() {
    static std::atomic<bool> enabled{[] {
        const char* value = std::getenv("VESTRA_CPU_DEVICE_CHECKS");
        return value != nullptr && value[0] != '\0' && std::string(value) != "0";
    }()};
    return enabled;
}

std::size_t spanOf(std::size_t bytes) {
    return kGuardBytes + (bytes + kAllocationAlignment - 1) / kAllocationAlignment * kAllocationAlignment + kGuardBytes;
}

void poison([[maybe_unused]] const void* begin, [[maybe_unused]] std::size_t bytes) {
#if VESTRA_CPU_DEVICE_ASAN
    ASAN_POISON_MEMORY_REGION(begin, bytes);
#endif
}

void unpoison([[maybe_unused]] const void* begin, [[maybe_unused]] std::size_t bytes) {
#if VESTRA_CPU_DEVICE_ASAN
    ASAN_UNPOISON_MEMORY_REGION(begin, bytes);
#endif
}

// The first guard byte of the allocation at `start` that is not kGuardByte any more, as an offset
// from the start (negative before it).
std::optional<std::ptrdiff_t> brokenGuard(const unsigned char* start, std::size_t bytes) {
    const unsigned char* base = start - kGuardBytes;
    const unsigned char* end = base + spanOf(bytes);
    const auto check = [&](const unsigned char* from, const unsigned char* to) -> std::optional<std::ptrdiff_t> {
        static const std::array<unsigned char, kGuardBytes> intact = [] {
            std::array<unsigned char, kGuardBytes> guard{};
            guard.fill(kGuardByte);
            return guard;
        }();
        unpoison(from, static_cast<std::size_t>(to - from));
        std::optional<std::ptrdiff_t> broken;
        for (const unsigned char* chunk = from; chunk < to && !broken; chunk += kGuardBytes) {
            const auto length = std::min<std::size_t>(kGuardBytes, static_cast<std::size_t>(to - chunk));
            if (std::memcmp(chunk, intact.data(), length) != 0) {
                const auto* found =
                    std::find_if(chunk, chunk + length, [](unsigned char b) { return b != kGuardByte; });
                broken = found - start;
            }
        }
        poison(from, static_cast<std::size_t>(to - from));
        return broken;
    };
    if (auto before = check(base, start)) {
        return before;
    }
    return check(start + bytes, end);
}

std::string guardFault(const unsigned char* start, std::size_t bytes, std::ptrdiff_t offset) {
    return "out-of-bounds write: byte " + std::to_string(offset) + " of the guard zone around the allocation of " +
           std::to_string(bytes) + " bytes at " + std::to_string(reinterpret_cast<std::uintptr_t>(start));
}

void release(unsigned char* base) {
    ::operator delete (base, std::align_val_t{kAllocationAlignment});
}

// A pooled allocation of exactly `span` bytes, taken out of the pool; null when there is none.
unsigned char* takePooled(std::size_t span) {
    const std::lock_guard lock(state().mutex);
    // The most recently freed of its span, as a stream-ordered pool hands back what it just took in.
    const auto [first, last] = state().pooled.equal_range(span);
    if (first == last) {
        return nullptr;
    }
    const auto found = std::prev(last);
    unsigned char* base = found->second;
    state().pooled.erase(found);
    state().pooledBytes -= span;
    return base;
}

// Streams and cuBLAS handles live in registries so that a call on a destroyed or foreign handle is
// refused instead of dereferenced.
template <class Object>
Object* track(std::set<Object*>& live, std::unique_ptr<Object> created) {
    const std::lock_guard lock(state().mutex);
    live.insert(created.get());
    return created.release();
}

template <class Object>
bool release(std::set<Object*>& live, Object* object) {
    const std::lock_guard lock(state().mutex);
    if (live.erase(object) == 0) {
        return false;
    }
    delete object;
    return true;
}

}  // namespace

void injectFault(FaultSite site, std::uint64_t nth, int status) {
    if (nth == 0 || status == 0) {
        throw std::invalid_argument("a fault needs a call number from 1 and a non-zero status");
    }
    const std::lock_guard lock(state().mutex);
    state().faults.push_back({site, nth, status});
}

void clearFaults() noexcept {
    const std::lock_guard lock(state().mutex);
    state().faults.clear();
}

std::optional<int> takeFault(FaultSite site) {
    const std::lock_guard lock(state().mutex);
    std::optional<int> fired;
    auto& faults = state().faults;
    for (auto fault = faults.begin(); fault != faults.end();) {
        if (fault->site == site && --fault->remaining == 0) {
            if (!fired) {
                fired = fault->status;
            }
            fault = faults.erase(fault);
        } else {
            ++fault;
        }
    }
    return fired;
}

cudaError_t recordError(cudaError_t error) noexcept {
    if (error != cudaSuccess) {
        lastError = error;
    }
    return error;
}

cudaError_t takeLastError() noexcept {
    return std::exchange(lastError, cudaSuccess);
}

cudaError_t allocateDevice(void** pointer, std::size_t bytes) {
    if (bytes == 0) {
        *pointer = nullptr;
        return cudaSuccess;
    }
    {
        const std::lock_guard lock(state().mutex);
        if (bytes > kDeviceCapacityBytes - state().allocatedBytes) {
            return cudaErrorMemoryAllocation;
        }
    }
    const std::size_t span = spanOf(bytes);
    unsigned char* base = takePooled(span);
    const bool pooled = base != nullptr;
    if (!pooled) {
        base = static_cast<unsigned char*>(::operator new (span, std::align_val_t{kAllocationAlignment}, std::nothrow));
    }
    if (base == nullptr) {
        return cudaErrorMemoryAllocation;
    }
    unpoison(base, span);
    unsigned char* memory = base + kGuardBytes;
    std::memset(base, kGuardByte, kGuardBytes);
    if (!pooled || checking()) {
        std::memset(memory, kUnwrittenFill, bytes);
    }
    std::memset(memory + bytes, kGuardByte, span - kGuardBytes - bytes);
    poison(base, kGuardBytes);
    poison(memory + bytes, span - kGuardBytes - bytes);
    Allocation allocation{bytes, {}};
    if (checking()) {
        allocation.written.assign(bytes, 0);
    }
    const std::lock_guard lock(state().mutex);
    state().allocations.emplace(memory, std::move(allocation));
    state().allocatedBytes += bytes;
    *pointer = memory;
    return cudaSuccess;
}

cudaError_t freeDevice(void* pointer, std::size_t poolBytes) {
    const std::lock_guard lock(state().mutex);
    const auto found = state().allocations.find(static_cast<const unsigned char*>(pointer));
    if (found == state().allocations.end()) {
        return cudaErrorInvalidValue;
    }
    const std::size_t bytes = found->second.bytes;
    auto* memory = static_cast<unsigned char*>(pointer);
    const auto broken = brokenGuard(memory, bytes);
    if (broken) {
        state().kernelFault = guardFault(memory, bytes, *broken);
    }
    state().allocatedBytes -= bytes;
    state().allocations.erase(found);
    unsigned char* base = memory - kGuardBytes;
    const std::size_t span = spanOf(bytes);
    unpoison(base, span);
    if (checking()) {
        // Quarantined memory reads as NaN to a stale pointer, and the sanitizer reports any access.
        std::memset(memory, kUnwrittenFill, bytes);
        poison(base, span);
        state().quarantinedAt.emplace(base, Quarantined{base, span, bytes});
        state().quarantineOrder.push_back(base);
        state().quarantinedBytes += span;
        while (state().quarantinedBytes > kQuarantineBytes) {
            const auto entry = state().quarantinedAt.find(state().quarantineOrder.front());
            const Quarantined oldest = entry->second;
            state().quarantineOrder.pop_front();
            state().quarantinedAt.erase(entry);
            state().quarantinedBytes -= oldest.span;
            unpoison(oldest.base, oldest.span);
            release(oldest.base);
        }
    } else if (!broken && state().pooledBytes + span <= poolBytes) {
        // Kept for the next allocation of its span, as the stream-ordered pool keeps freed memory; a
        // stale pointer into it finds the sanitizer's poison.
        poison(base, span);
        state().pooled.emplace(span, base);
        state().pooledBytes += span;
    } else {
        release(base);
    }
    return broken ? cudaErrorIllegalAddress : cudaSuccess;
}

bool isDeviceRange(const void* pointer, std::size_t bytes) {
    const auto* start = static_cast<const unsigned char*>(pointer);
    const std::lock_guard lock(state().mutex);
    // The allocation with the greatest start not above the pointer.
    const auto owner = state().allocations.lower_bound(start);
    if (owner == state().allocations.end()) {
        return false;
    }
    const auto offset = reinterpret_cast<std::uintptr_t>(start) - reinterpret_cast<std::uintptr_t>(owner->first);
    return offset <= owner->second.bytes && bytes <= owner->second.bytes - offset;
}

namespace {

// The live allocation that holds the byte at `pointer`, or null; callers hold the mutex.
const std::pair<const unsigned char* const, Allocation>* owningAllocation(const void* pointer) {
    const auto* start = static_cast<const unsigned char*>(pointer);
    const auto owner = state().allocations.lower_bound(start);
    if (owner == state().allocations.end() || start >= owner->first + owner->second.bytes) {
        return nullptr;
    }
    return &*owner;
}

}  // namespace

std::optional<std::string> checkGuards(const LaunchPointer* pointers, std::size_t count) {
    const std::lock_guard lock(state().mutex);
    for (std::size_t argument = 0; argument < count; ++argument) {
        const auto* owner =
            pointers[argument].address != nullptr ? owningAllocation(pointers[argument].address) : nullptr;
        if (owner == nullptr) {
            continue;
        }
        if (const auto broken = brokenGuard(owner->first, owner->second.bytes)) {
            return guardFault(owner->first, owner->second.bytes, *broken);
        }
    }
    return std::nullopt;
}

std::optional<DeviceRange> allocationOf(const void* pointer) {
    const std::lock_guard lock(state().mutex);
    const auto* owner = owningAllocation(pointer);
    if (owner == nullptr) {
        return std::nullopt;
    }
    return DeviceRange{const_cast<unsigned char*>(owner->first), owner->second.bytes};
}

std::vector<DeviceRange> unwrittenRanges(const void* pointer) {
    const std::lock_guard lock(state().mutex);
    std::vector<DeviceRange> ranges;
    const auto* owner = owningAllocation(pointer);
    if (owner == nullptr) {
        return ranges;
    }
    const std::vector<std::uint8_t>& written = owner->second.written;
    auto* begin = const_cast<unsigned char*>(owner->first);
    for (auto at = std::find(written.begin(), written.end(), 0); at != written.end();) {
        const auto end = std::find(at, written.end(), 1);
        ranges.push_back({begin + (at - written.begin()), static_cast<std::size_t>(end - at)});
        at = std::find(end, written.end(), 0);
    }
    return ranges;
}

namespace {

// The shadow bytes of [pointer, pointer + bytes) when that range lies in one allocation that has
// them; callers hold the mutex.
std::uint8_t* shadowOf(const void* pointer, std::size_t bytes) {
    const auto* start = static_cast<const unsigned char*>(pointer);
    const auto owner = state().allocations.lower_bound(start);
    if (owner == state().allocations.end() || owner->second.written.empty()) {
        return nullptr;
    }
    const auto offset = static_cast<std::size_t>(start - owner->first);
    if (offset > owner->second.bytes || bytes > owner->second.bytes - offset) {
        return nullptr;
    }
    return owner->second.written.data() + offset;
}

}  // namespace

void markWritten(const void* pointer, std::size_t bytes) {
    const std::lock_guard lock(state().mutex);
    if (std::uint8_t* shadow = shadowOf(pointer, bytes)) {
        std::fill(shadow, shadow + bytes, std::uint8_t{1});
    }
}

void copyWritten(const void* destination, const void* source, std::size_t bytes) {
    const std::lock_guard lock(state().mutex);
    std::uint8_t* to = shadowOf(destination, bytes);
    const std::uint8_t* from = shadowOf(source, bytes);
    if (to != nullptr) {
        if (from != nullptr) {
            std::memmove(to, from, bytes);
        } else {
            std::fill(to, to + bytes, std::uint8_t{1});
        }
    }
}

std::optional<std::size_t> firstUnwritten(const void* pointer, std::size_t bytes) {
    const std::lock_guard lock(state().mutex);
    const std::uint8_t* shadow = shadowOf(pointer, bytes);
    if (shadow == nullptr) {
        return std::nullopt;
    }
    const std::uint8_t* found = std::find(shadow, shadow + bytes, std::uint8_t{0});
    if (found == shadow + bytes) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(found - shadow);
}

std::optional<ReachableMemory> reachableMemory(const void* pointer) {
    const std::lock_guard lock(state().mutex);
    if (const auto* owner = owningAllocation(pointer)) {
        const std::size_t bytes = owner->second.bytes;
        return ReachableMemory{const_cast<unsigned char*>(owner->first), bytes, kGuardBytes,
                               spanOf(bytes) - kGuardBytes - bytes, false};
    }
    // The quarantined allocation with the greatest base not above the pointer.
    const auto held = state().quarantinedAt.lower_bound(static_cast<const unsigned char*>(pointer));
    if (held == state().quarantinedAt.end()) {
        return std::nullopt;
    }
    unsigned char* memory = held->second.base + kGuardBytes;
    const auto* byte = static_cast<const unsigned char*>(pointer);
    if (byte < memory || byte >= memory + held->second.bytes) {
        return std::nullopt;
    }
    return ReachableMemory{memory, held->second.bytes, kGuardBytes,
                           held->second.span - kGuardBytes - held->second.bytes, true};
}

void trackPinned(const void* pointer, std::size_t bytes) {
    const std::lock_guard lock(state().mutex);
    state().pinned.emplace(static_cast<const unsigned char*>(pointer), bytes);
}

bool untrackPinned(const void* pointer) {
    const std::lock_guard lock(state().mutex);
    return state().pinned.erase(static_cast<const unsigned char*>(pointer)) == 1;
}

bool kernelsReach(const void* pointer) {
    const auto* byte = static_cast<const unsigned char*>(pointer);
    const std::lock_guard lock(state().mutex);
    // Within an allocation's span, its end and guard zones included; within freed memory, which a
    // kernel reaching it reports itself; or within page-locked host memory.
    if (const auto owner = state().allocations.lower_bound(byte + kGuardBytes);
        owner != state().allocations.end() && byte + kGuardBytes < owner->first + spanOf(owner->second.bytes)) {
        return true;
    }
    if (const auto held = state().quarantinedAt.lower_bound(byte);
        held != state().quarantinedAt.end() && byte < held->second.base + held->second.span) {
        return true;
    }
    const auto host = state().pinned.lower_bound(byte);
    return host != state().pinned.end() && byte <= host->first + host->second;
}

bool isFreedRange(const void* pointer, std::size_t bytes) {
    const auto* first = static_cast<const unsigned char*>(pointer);
    const std::lock_guard lock(state().mutex);
    return std::any_of(state().quarantinedAt.begin(), state().quarantinedAt.end(), [&](const auto& entry) {
        const Quarantined& held = entry.second;
        const unsigned char* memory = held.base + kGuardBytes;
        return first < memory + held.bytes && memory < first + std::max<std::size_t>(bytes, 1);
    });
}

void exposeReachable(const ReachableMemory& memory, bool exposed) {
    unsigned char* base = memory.begin - memory.guardBefore;
    const std::size_t span = memory.guardBefore + memory.bytes + memory.guardAfter;
    if (exposed) {
        unpoison(base, span);
    } else if (memory.freed) {
        poison(base, span);
    } else {
        poison(base, memory.guardBefore);
        poison(memory.begin + memory.bytes, memory.guardAfter);
    }
}

void setChecking(bool enabled) {
    checkingSwitch() = enabled;
}

bool checking() {
    return checkingSwitch().load(std::memory_order_relaxed);
}

std::uint64_t liveAllocations() {
    const std::lock_guard lock(state().mutex);
    return state().allocations.size();
}

std::uint64_t liveAllocationBytes() {
    const std::lock_guard lock(state().mutex);
    return state().allocatedBytes;
}

std::uint64_t liveStreams() {
    const std::lock_guard lock(state().mutex);
    return state().streams.size();
}

std::uint64_t liveBlasHandles() {
    const std::lock_guard lock(state().mutex);
    return state().handles.size();
}

cudaError_t createStream(cudaStream_t* stream, unsigned int flags) {
    *stream = track(state().streams, std::make_unique<CUstream_st>(CUstream_st{flags}));
    return cudaSuccess;
}

cudaError_t destroyStream(cudaStream_t stream) {
    return release(state().streams, stream) ? cudaSuccess : cudaErrorInvalidResourceHandle;
}

bool isLiveStream(cudaStream_t stream) {
    const std::lock_guard lock(state().mutex);
    return stream == nullptr || state().streams.contains(stream);
}

cublasHandle_t createHandle() {
    return track(state().handles, std::make_unique<cublasContext>());
}

bool destroyHandle(cublasHandle_t handle) {
    return release(state().handles, handle);
}

bool isLiveHandle(cublasHandle_t handle) {
    const std::lock_guard lock(state().mutex);
    return state().handles.contains(handle);
}

void recordKernelFault(std::string description) {
    const std::lock_guard lock(state().mutex);
    state().kernelFault = std::move(description);
}

std::string lastKernelFault() {
    const std::lock_guard lock(state().mutex);
    return state().kernelFault;
}

}  // namespace Halcyne::Core::Vestra::CpuDevice
