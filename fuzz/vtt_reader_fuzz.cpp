// The VTT reader against arbitrary images, as they are and with their checksum recomputed so that
// mutations reach the checks behind it. A refused image changes nothing; an accepted one restores a
// state whose own image is the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <stdexcept>

#include "core/hash.h"
#include "support/spec_variants.h"
#include "training/transformer_trainer.h"

namespace Vestra = Halcyne::Core::Vestra;

namespace {

// Vocabulary 6, context 4, one layer of two query heads of width 2 over one KV head, SwiGLU; untied,
// or with GELU and tied embeddings.
Vestra::TransformerTrainer& reader(bool tied) {
    static const auto trainer = [](Vestra::FeedForwardKind kind, bool tiedEmbeddings) {
        const Vestra::TransformerSpec spec = Vestra::Testing::tinyVariantSpec(kind, tiedEmbeddings);
        return Vestra::TransformerTrainer(spec, Vestra::Testing::variantWeights(spec),
                                          Vestra::scenarioTrainingConfig("fuzz"));
    };
    static Vestra::TransformerTrainer untiedTrainer = trainer(Vestra::FeedForwardKind::SwiGlu, false);
    static Vestra::TransformerTrainer tiedTrainer = trainer(Vestra::FeedForwardKind::Gelu, true);
    return tied ? tiedTrainer : untiedTrainer;
}

void restoreOrRefuse(Vestra::TransformerTrainer& trainer, std::span<const std::uint8_t> image) {
    const Vestra::Bytes before = trainer.checkpointBytes();
    try {
        trainer.restoreCheckpoint(image);
    } catch (const std::invalid_argument&) {
        if (trainer.checkpointBytes() != before) {
            std::abort();  // a refused image changed the trainer
        }
        return;
    }
    const Vestra::Bytes after = trainer.checkpointBytes();
    if (!std::equal(after.begin(), after.end(), image.begin(), image.end())) {
        std::abort();  // an accepted image does not round-trip
    }
    trainer.restoreCheckpoint(before);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> image(data, size);
    for (const bool tied : {false, true}) {
        restoreOrRefuse(reader(tied), image);
        if (size >= 8) {
            Vestra::Bytes resealed(image.begin(), image.end());
            const std::uint64_t checksum = Vestra::vestraFnv1a64(image.first(size - 8));
            for (std::size_t i = 0; i < 8; ++i) {
                resealed[size - 8 + i] = static_cast<std::uint8_t>(checksum >> (8 * i));
            }
            restoreOrRefuse(reader(tied), resealed);
        }
    }
    return 0;
}
