#include "training/vtt_checkpoint.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "core/byte_reader.h"
#include "core/hash.h"
#include "training/named_tensors.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr std::string_view magic = "VSTRVTT1";
constexpr std::size_t checksumSize = 8;
// Magic, spec fingerprint, configuration fingerprint and the checksum: anything shorter cannot
// even be checksummed against a header.
constexpr std::size_t shortestImage = 32;

template <class Sets, class Visit>
void forEachSet(Sets sets, Visit&& visit) {
    visit(sets.weights);
    visit(sets.firstMoments);
    visit(sets.secondMoments);
    visit(sets.gradientAccumulator);
}

bool allFinite(const TransformerWeights& set) {
    const auto entries = namedTensors(set);
    return std::all_of(entries.begin(), entries.end(), [](const ConstNamedTensor& entry) {
        return std::all_of(entry.tensor.values.begin(), entry.tensor.values.end(),
                           [](double value) { return std::isfinite(value); });
    });
}

void requireMagic(ByteReader& in, const VttMessages& messages) {
    const auto readMagic = in.raw(magic.size());
    if (!std::equal(readMagic.begin(), readMagic.end(), magic.begin(), magic.end())) {
        throw std::invalid_argument(messages.format);
    }
}

TrainingCounters readCounters(ByteReader& in) {
    TrainingCounters counters;
    counters.steps = in.u64();
    counters.examplesSeen = in.u64();
    counters.dataOrderState = in.u64();
    counters.accumulatedBatches = in.u64();
    counters.accumulatedLoss = in.f64();
    counters.windowStartExamples = in.u64();
    return counters;
}

}  // namespace

std::uint64_t vttCheckpointSize(const TransformerWeights& weights) {
    // Magic, two fingerprints and six counters; per set, each tensor's count and values; the checksum.
    std::uint64_t setBytes = 0;
    for (const ConstNamedTensor& entry : namedTensors(weights)) {
        setBytes += 8 + 8 * std::uint64_t{entry.tensor.values.size()};
    }
    return magic.size() + 8 * 8 + 4 * setBytes + checksumSize;
}

std::optional<std::uint64_t> vttCheckpointSize(const TransformerSpec& spec) {
    // Every product and sum is checked: the shapes come from a file anyone may edit.
    bool overflow = false;
    const auto times = [&](std::uint64_t a, std::uint64_t b) {
        std::uint64_t product = 0;
        overflow |= __builtin_mul_overflow(a, b, &product);
        return product;
    };
    const auto plus = [&](std::uint64_t a, std::uint64_t b) {
        std::uint64_t sum = 0;
        overflow |= __builtin_add_overflow(a, b, &sum);
        return sum;
    };
    const auto tensorBytes = [&](WeightTensor tensor) {
        std::uint64_t values = 1;
        for (const std::uint64_t extent : expectedWeightShape(spec, tensor)) {
            values = times(values, extent);
        }
        return plus(8, times(8, values));
    };
    std::uint64_t layerBytes = 0;
    for (const WeightSlot& slot : canonicalWeightSlots(1, false)) {
        if (slot.layer) {
            layerBytes = plus(layerBytes, tensorBytes(slot.tensor));
        }
    }
    std::uint64_t setBytes = plus(tensorBytes(WeightTensor::TokenEmbedding), tensorBytes(WeightTensor::FinalNorm));
    setBytes = plus(setBytes, times(layerBytes, spec.layers));
    if (!spec.tied_embeddings) {
        setBytes = plus(setBytes, tensorBytes(WeightTensor::OutputEmbedding));
    }
    const std::uint64_t size = plus(magic.size() + 8 * 8 + checksumSize, times(4, setBytes));
    return overflow ? std::nullopt : std::optional(size);
}

Bytes encodeVttCheckpoint(std::uint64_t specFingerprint, std::uint64_t configFingerprint,
                          const TrainingCounters& counters, CheckpointTensorSets<const TransformerWeights> sets) {
    Bytes image;
    ByteWriter out(image);
    out.raw(magic);
    out.u64(specFingerprint);
    out.u64(configFingerprint);
    out.u64(counters.steps);
    out.u64(counters.examplesSeen);
    out.u64(counters.dataOrderState);
    out.u64(counters.accumulatedBatches);
    out.f64(counters.accumulatedLoss);
    out.u64(counters.windowStartExamples);
    forEachSet(sets, [&](const TransformerWeights& set) {
        for (const ConstNamedTensor& entry : namedTensors(set)) {
            out.u64(entry.tensor.values.size());
            out.f64s(entry.tensor.values);
        }
    });
    out.u64(vestraFnv1a64(image));
    return image;
}

std::span<const std::uint8_t> checkedVttPayload(std::span<const std::uint8_t> image, const VttMessages& messages) {
    if (image.size() < shortestImage) {
        throw std::invalid_argument(messages.truncated);
    }
    const auto payload = image.first(image.size() - checksumSize);
    ByteReader checksum(image.last(checksumSize), messages.truncated);
    if (checksum.u64() != vestraFnv1a64(payload)) {
        throw std::invalid_argument(messages.checksum);
    }
    return payload;
}

Bytes rebasedVttImage(std::span<const std::uint8_t> image, std::uint64_t configFingerprint,
                      const VttMessages& messages) {
    const auto payload = checkedVttPayload(image, messages);
    ByteReader in(payload, messages.truncated);
    requireMagic(in, messages);
    (void)in.u64();  // the spec fingerprint stays

    Bytes rebased(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(in.position()));
    ByteWriter out(rebased);
    out.u64(configFingerprint);
    (void)in.u64();
    const auto rest = payload.subspan(in.position());
    rebased.insert(rebased.end(), rest.begin(), rest.end());
    out.u64(vestraFnv1a64(rebased));
    return rebased;
}

void decodeVttPayload(std::span<const std::uint8_t> payload, std::uint64_t specFingerprint,
                      std::uint64_t configFingerprint, TrainingCounters& counters,
                      CheckpointTensorSets<TransformerWeights> sets, const VttMessages& messages) {
    ByteReader in(payload, messages.truncated);
    requireMagic(in, messages);
    if (in.u64() != specFingerprint) {
        throw std::invalid_argument(messages.spec);
    }
    if (in.u64() != configFingerprint) {
        throw std::invalid_argument(messages.config);
    }
    counters = readCounters(in);

    forEachSet(sets, [&](TransformerWeights& set) {
        for (const NamedTensor& entry : namedTensors(set)) {
            if (in.u64() != entry.tensor.values.size()) {
                throw std::invalid_argument(messages.shape);
            }
            in.f64s(entry.tensor.values, messages.truncatedTensor);
        }
    });
    if (!in.atEnd()) {
        throw std::invalid_argument(messages.trailing);
    }

    if (messages.nonFiniteTensors != nullptr) {
        bool finite = true;
        forEachSet(sets, [&](const TransformerWeights& set) { finite = finite && allFinite(set); });
        if (!finite) {
            throw std::invalid_argument(messages.nonFiniteTensors);
        }
    }
    if (!std::isfinite(counters.accumulatedLoss)) {
        throw std::invalid_argument(messages.nonFiniteLoss);
    }
}

VttSummary summarizeVttImage(std::span<const std::uint8_t> image) {
    if (image.size() < shortestImage) {
        throw std::invalid_argument(kVttMessages.truncated);
    }
    const auto payload = image.first(image.size() - checksumSize);
    VttSummary summary;
    summary.storedChecksum = ByteReader(image.last(checksumSize), kVttMessages.truncated).u64();
    summary.computedChecksum = vestraFnv1a64(payload);

    ByteReader in(payload, kVttMessages.truncated);
    requireMagic(in, kVttMessages);
    summary.specFingerprint = in.u64();
    summary.configFingerprint = in.u64();
    summary.counters = readCounters(in);
    // The records delimit themselves by their counts; the four sets must list the same counts.
    std::vector<std::uint64_t> counts;
    while (!in.atEnd()) {
        counts.push_back(in.u64());
        if (counts.back() > in.remaining() / 8) {
            throw std::invalid_argument(kVttMessages.truncatedTensor);
        }
        (void)in.raw(counts.back() * 8);
    }
    const std::size_t perSet = counts.size() / 4;
    for (std::size_t i = perSet; i < counts.size(); ++i) {
        if (counts.size() % 4 != 0 || counts[i] != counts[i % perSet]) {
            throw std::invalid_argument("VTT tensor sets do not have the same shapes");
        }
    }
    summary.tensorsPerSet = perSet;
    for (std::size_t i = 0; i < perSet; ++i) {
        summary.parameters += counts[i];
    }
    return summary;
}

}  // namespace Halcyne::Core::Vestra
