// The VTT reader against arbitrary images, as they are and with their checksum recomputed so that
// mutations reach the checks behind it. A refused image changes nothing; an accepted one restores a
// state whose own image is the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <stdexcept>

#include "core/hash.h"
#include "fuzz/tiny_model.h"
#include "training/transformer_trainer.h"

namespace Vestra = Halcyne::Core::Vestra;

namespace {

Vestra::TransformerTrainer trainerFor(Vestra::Testing::SpecShape shape) {
    const Vestra::TransformerSpec spec = Vestra::Testing::variantSpec(shape);
    return Vestra::TransformerTrainer(spec, Vestra::Fuzzing::tinyWeights(spec), Vestra::Fuzzing::tinyConfig());
}

Vestra::TransformerTrainer& reader(bool tied) {
    static Vestra::TransformerTrainer untiedTrainer = trainerFor(Vestra::Fuzzing::kTinyShape);
    static Vestra::TransformerTrainer tiedTrainer = [] {
        Vestra::Testing::SpecShape shape = Vestra::Fuzzing::kTinyShape;
        shape.feedForward = Vestra::FeedForwardKind::Gelu;
        shape.tiedEmbeddings = true;
        return trainerFor(shape);
    }();
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
