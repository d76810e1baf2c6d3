#include "cli/memory_budget.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

#include "reference/tape.h"
#include "training/batch_gradient.h"

#ifdef _WIN32
#include "core/windows_api.h"
#else
#include <unistd.h>
#endif

namespace Halcyne::Core::Vestra::Cli {
namespace {

constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

// The specification's sizes as floating-point numbers, whose products cannot wrap.
struct Sizes {
    explicit Sizes(const TransformerSpec& spec)
        : vocabulary(spec.vocabulary),
          context(spec.context),
          layers(spec.layers),
          model(spec.model_dim),
          ffn(spec.ffn_dim),
          heads(spec.query_heads),
          headDim(spec.head_dim),
          query(heads * headDim),
          key(static_cast<double>(spec.kv_heads) * headDim),
          tied(spec.tied_embeddings) {}

    double vocabulary, context, layers, model, ffn, heads, headDim, query, key;
    bool tied;
};

double parameters(const Sizes& n) {
    const double layer = 2 * n.model + 2 * n.query * n.model + 2 * n.key * n.model + 3 * n.ffn * n.model;
    return n.vocabulary * n.model * (n.tied ? 1 : 2) + n.model + n.layers * layer;
}

// Doubles a trainer keeps per position of a batch: the activations of every layer and their
// gradients, attention scores over the context, and the many vocabulary-wide rows of the logits
// and the loss. Measured against the CPU device at several shapes, within a quarter.
double valuesPerPosition(const Sizes& n) {
    const double layer = 5 * n.model + 2 * n.query + 2 * n.key + 4 * n.ffn + n.heads * n.context;
    return n.layers * layer + 9 * n.vocabulary + 6 * n.model;
}

// The reference tape of one row, its largest products only: a shape for which the tape's own
// count could wrap is told apart before the count is asked for.
double rowTapeNodes(const Sizes& n) {
    const double attention = n.heads * (4 * n.headDim + 7) * n.context * (n.context + 1) / 2;
    const double layer = n.context * 2 * n.model * (2 * n.query + 2 * n.key + 3 * n.ffn) + attention;
    return n.layers * layer + n.context * 2 * n.model * n.vocabulary;
}

std::string gib(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", bytes / kGiB);
    return text;
}

#ifndef _WIN32
// A number from a file of the kernel's: a field of /proc/meminfo (in KiB), or a cgroup counter
// (nullopt when it says "max").
std::optional<std::uint64_t> numberIn(const char* file, const char* field = nullptr) {
    std::ifstream in(file);
    std::string word;
    while (field != nullptr && in >> word && word != field) {
    }
    std::uint64_t value = 0;
    if (in >> value) {
        return value;
    }
    return std::nullopt;
}
#endif

}  // namespace

double runMemoryBytes(const TransformerSpec& spec, const std::string& device, std::uint64_t batch,
                      std::uint64_t textBytes) {
    // The state: weights, two moments, the gradient sums, a step's staging copies, the checkpoint
    // image of all four sets, and the initial weights the run was built from.
    const Sizes sizes(spec);
    const double state = 12 * parameters(sizes) * sizeof(double);
    const double positions = static_cast<double>(batch) * sizes.context;
    double activations = positions * valuesPerPosition(sizes) * sizeof(double);
    if (device == "reference") {
        // At most one part of the batch is on the tape at once. A row of 2^50 nodes is petabytes:
        // its rough size says enough, and the exact count could wrap.
        const double row = rowTapeNodes(sizes);
        activations += row > 0x1p50 ? row * (sizeof(TapeNode) + sizeof(double))
                                    : static_cast<double>(batchTapeBytes(spec, batch, spec.context));
    } else if (device == "cuda") {
        activations = 0.0;
    }
    const double windows = positions * 2 * sizeof(std::uint32_t);  // the batch's tokens and targets
    return state + activations + windows + static_cast<double>(textBytes);
}

std::optional<std::uint64_t> availableMemoryBytes() {
#ifdef _WIN32
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) {
        return std::nullopt;
    }
    return status.ullAvailPhys;
#else
    std::optional<std::uint64_t> available;
    if (const auto kib = numberIn("/proc/meminfo", "MemAvailable:")) {
        available = *kib * 1024;
    } else {
#ifdef _SC_AVPHYS_PAGES
        const long pages = sysconf(_SC_AVPHYS_PAGES);
        const long page = sysconf(_SC_PAGESIZE);
        if (pages > 0 && page > 0) {
            available = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
        }
#endif
    }
    // A container may hold the process to less than the machine has free.
    const auto limit = numberIn("/sys/fs/cgroup/memory.max");
    const auto used = numberIn("/sys/fs/cgroup/memory.current");
    if (limit && used) {
        const std::uint64_t room = *limit > *used ? *limit - *used : 0;
        available = available ? std::min(*available, room) : room;
    }
    return available;
#endif
}

void requireMemory(const TransformerSpec& spec, const std::string& device, std::uint64_t batch, std::uint64_t textBytes,
                   std::optional<std::uint64_t> available) {
    if (!available) {
        return;
    }
    const auto room = static_cast<double>(*available);
    const double needed = runMemoryBytes(spec, device, batch, textBytes);
    if (needed <= room) {
        return;
    }
    const double single = runMemoryBytes(spec, device, 1, textBytes);
    if (single > room) {
        char count[32];
        std::snprintf(count, sizeof count, "%.0f", parameters(Sizes(spec)));
        throw std::runtime_error(std::string("a model of ") + count + " parameters needs about " + gib(single) +
                                 " GiB of memory on the " + device + " trainer; this machine has " + gib(room) +
                                 " GiB available: use a smaller model");
    }
    throw std::runtime_error("a batch of " + std::to_string(batch) + " windows needs about " + gib(needed) +
                             " GiB of memory; this machine has " + gib(room) + " GiB available: use a smaller --batch");
}

}  // namespace Halcyne::Core::Vestra::Cli
