// Specification and training configuration from fuzz bytes. Validation must answer for anything;
// when both are valid and the model is tiny, one accumulate (of a batch that may hold faults) and
// one step run, every refusal leaves the checkpoint image as it was, and the image restores into a
// fresh trainer byte for byte.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "support/spec_variants.h"
#include "training/transformer_trainer.h"
#include "training/vtt_checkpoint.h"

namespace Vestra = Halcyne::Core::Vestra;

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Reads fuzz bytes in order; past the end every read gives zeros.
class FuzzInput {
  public:
    explicit FuzzInput(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint8_t u8() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
    std::uint64_t u64() {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) {
            value |= std::uint64_t{u8()} << (8 * i);
        }
        return value;
    }
    // A plausible value most of the time, any 64-bit pattern when the selector says so.
    double real(double plausible) {
        const std::uint8_t selector = u8();
        if (selector < 0xC0) {
            return plausible * (1.0 + static_cast<double>(selector) / 64.0);
        }
        return std::bit_cast<double>(u64());
    }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

Vestra::TransformerSpec specFrom(FuzzInput& in) {
    Vestra::Testing::SpecShape shape;
    shape.vocabulary = in.u8() % 12;
    shape.context = in.u8() % 6;
    shape.layers = in.u8() % 3;
    shape.queryHeads = in.u8() % 5;
    shape.kvHeads = in.u8() % 4;
    shape.headDim = in.u8() % 5;
    shape.ffnDim = in.u8() % 7;
    shape.feedForward = static_cast<Vestra::FeedForwardKind>(in.u8() % 3);
    shape.tiedEmbeddings = (in.u8() & 1) != 0;
    Vestra::TransformerSpec spec = Vestra::Testing::variantSpec(shape);
    const std::uint8_t edits = in.u8();
    if (edits & 1) {
        spec.model_dim = in.u8() % 17;
    }
    if (edits & 2) {
        spec.position.rope_base = in.real(10000.0);
    }
    if (edits & 4) {
        spec.normalization.epsilon = in.real(1e-5);
    }
    if (edits & 8) {
        spec.precision.activations = static_cast<Vestra::PrecisionKind>(in.u8() % 4);
    }
    if (edits & 16) {
        spec.ports[in.u8() % 2].width = in.u8();
    }
    if (edits & 32) {
        spec.ports.pop_back();
    }
    return spec;
}

Vestra::TransformerTrainingConfig configFrom(FuzzInput& in) {
    Vestra::TransformerTrainingConfig config = Vestra::scenarioTrainingConfig("fuzz");
    config.learning_rate = in.real(1e-3);
    config.beta1 = in.real(0.5);
    config.beta2 = in.real(0.6);
    config.epsilon = in.real(1e-8);
    config.weight_decay = in.real(0.01);
    config.max_gradient_norm = in.real(1.0);
    config.warmup_steps = in.u8() % 4;
    config.decay_steps = in.u8() % 8;
    config.seed = in.u64();
    const std::uint8_t flags = in.u8();
    if (flags & 1) {
        config.dataset_hash.clear();
    }
    if (flags & 2) {
        config.ignore_token = in.u8() % 12;
    }
    return config;
}

// Runs call; a refusal of the kinds a trainer reports must leave its image unchanged.
template <class Call>
bool refusedCleanly(Vestra::TransformerTrainer& trainer, Call&& call) {
    const Vestra::Bytes before = trainer.checkpointBytes();
    try {
        call();
        return false;
    } catch (const std::domain_error&) {
    } catch (const std::logic_error&) {  // std::invalid_argument and std::out_of_range among them
    }
    require(trainer.checkpointBytes() == before);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(std::span(data, size));
    const Vestra::TransformerSpec spec = specFrom(in);
    const Vestra::TransformerTrainingConfig config = configFrom(in);

    const bool specValid = Vestra::validateTransformerSpec(spec).empty();
    (void)Vestra::transformerSpecFingerprint(spec);
    (void)Vestra::trainingConfigFingerprint(config);
    bool configValid = true;
    try {
        Vestra::validateTrainingConfig(config);
    } catch (const std::invalid_argument&) {
        configValid = false;
    }
    const Vestra::TransformerParameterCount count = Vestra::transformerParameterCount(spec);
    if (!specValid || !configValid || count.overflow || count.count > 4096) {
        return 0;
    }

    const Vestra::TransformerWeights weights = Vestra::Testing::variantWeights(spec);
    std::optional<Vestra::TransformerTrainer> trainer;
    try {
        trainer.emplace(spec, weights, config);
    } catch (const std::domain_error&) {
        return 0;  // a forward that overflows under extreme (valid) settings
    }

    Vestra::TokenBatch batch;
    batch.batch = 1 + in.u8() % 2;
    batch.width = 1 + in.u8() % spec.context;
    for (std::uint64_t i = 0; i < batch.batch * batch.width; ++i) {
        batch.tokens.push_back(in.u8() % spec.vocabulary);
    }
    std::vector<std::uint32_t> targets;
    for (std::size_t i = 0; i < batch.tokens.size(); ++i) {
        targets.push_back(in.u8() % spec.vocabulary);
    }
    // Faults the trainer must refuse: a token or a target past the vocabulary, a loss mask that may
    // select nothing, a dataset of size 0.
    const std::uint8_t faults = in.u8();
    batch.tokens.back() = (faults & 1) != 0 ? spec.vocabulary : batch.tokens.back();
    targets.back() = (faults & 2) != 0 ? spec.vocabulary : targets.back();
    for (std::size_t i = 0; (faults & 4) != 0 && i < batch.tokens.size(); ++i) {
        batch.lossMask.push_back(in.u8() & 1);
    }
    if (!refusedCleanly(*trainer, [&] { (void)trainer->accumulate(batch, targets); })) {
        (void)refusedCleanly(*trainer, [&] { (void)trainer->step(); });
    }
    (void)refusedCleanly(*trainer, [&] { (void)trainer->nextDataIndex((faults & 8) != 0 ? 0 : 1 + in.u8()); });

    const Vestra::Bytes image = trainer->checkpointBytes();
    require(image.size() == Vestra::vttCheckpointSize(weights));
    Vestra::TransformerTrainer restored(spec, weights, config);
    restored.restoreCheckpoint(image);
    require(restored.checkpointBytes() == image);
    return 0;
}
