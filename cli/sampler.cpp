#include "cli/sampler.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "reference/forward.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

constexpr std::uint32_t byteTokens = 256;

}  // namespace

double SampleRandom::unit() noexcept {
    state_ += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
}

std::uint32_t drawToken(std::span<const double> logits, const SamplingOptions& options, SampleRandom& random) {
    std::vector<std::uint32_t> candidates(std::min<std::size_t>(logits.size(), byteTokens));
    std::iota(candidates.begin(), candidates.end(), 0u);
    // Most likely first; equal logits keep id order, so the ranking never depends on the sort.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return logits[a] > logits[b]; });
    if (options.temperature == 0.0) {
        return candidates.front();
    }
    if (options.topK > 0 && options.topK < candidates.size()) {
        candidates.resize(options.topK);
    }
    std::vector<double> weights;
    const double top = logits[candidates.front()];
    for (const std::uint32_t id : candidates) {
        weights.push_back(std::exp((logits[id] - top) / options.temperature));
    }
    if (options.topP < 1.0) {
        // The head is cut where its share reaches p; it always keeps the likeliest token.
        const double reach = options.topP * std::accumulate(weights.begin(), weights.end(), 0.0);
        double head = weights.front();
        std::size_t kept = 1;
        while (kept < weights.size() && head < reach) {
            head += weights[kept++];
        }
        candidates.resize(kept);
        weights.resize(kept);
    }
    double target = random.unit() * std::accumulate(weights.begin(), weights.end(), 0.0);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        target -= weights[i];
        if (target < 0.0) {
            return candidates[i];
        }
    }
    return candidates.back();  // rounding left a sliver past the last weight
}

std::vector<std::uint32_t> sampleTokens(const TransformerModel& model, std::span<const std::uint32_t> prompt,
                                        const SamplingOptions& options,
                                        const std::function<void(std::uint32_t)>& emit) {
    if (prompt.empty()) {
        throw std::invalid_argument("the prompt must hold at least one byte");
    }
    const std::uint64_t context = model.spec().context;
    const std::uint64_t vocabulary = model.spec().vocabulary;
    std::vector<std::uint32_t> sequence(prompt.begin(), prompt.end());
    SampleRandom random(options.seed);
    std::vector<std::uint32_t> generated;
    for (std::uint64_t n = 0; n < options.tokens; ++n) {
        const std::uint64_t width = std::min<std::uint64_t>(sequence.size(), context);
        TokenBatch batch{1, width, {sequence.end() - static_cast<std::ptrdiff_t>(width), sequence.end()}, {}, {}};
        const Tensor logits = transformerForward(model.spec(), model.weights(), batch);
        const std::uint32_t token =
            drawToken(std::span(logits.values).subspan((width - 1) * vocabulary, vocabulary), options, random);
        sequence.push_back(token);
        generated.push_back(token);
        if (emit) {
            emit(token);
        }
    }
    return generated;
}

}  // namespace Halcyne::Core::Vestra::Cli
