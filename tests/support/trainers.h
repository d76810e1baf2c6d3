// What the trainer suites share: a model small enough to checkpoint and corrupt byte by byte, the
// fixture model with its configuration, batches and their next-token targets, and image edits.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "core/byte_reader.h"
#include "core/byte_writer.h"
#include "core/hash.h"
#include "core/transformer_spec.h"
#include "driver/fixtures.h"
#include "reference/token_batch.h"
#include "support/spec_variants.h"
#include "training/training_config.h"
#include "training/transformer_trainer.h"

namespace Halcyne::Core::Vestra::Testing {

// Vocabulary 6, one layer of width 4 with two query heads of width 2 over one KV head, SwiGLU,
// untied embeddings (the fixture covers tied ones).
inline TransformerSpec tinySpec() {
    return variantSpec({.vocabulary = 6, .layers = 1, .queryHeads = 2, .kvHeads = 1, .headDim = 2, .ffnDim = 4});
}

inline TransformerTrainer tinyTrainer(TransformerTrainingConfig config = scenarioTrainingConfig("tiny")) {
    const TransformerSpec spec = tinySpec();
    return TransformerTrainer(spec, randomWeights(spec), std::move(config));
}

inline TransformerTrainer fixtureTrainer(TransformerTrainingConfig config = scenarioTrainingConfig("fixture")) {
    return TransformerTrainer(fixtureSpec(), fixtureWeights(), std::move(config));
}

// rows x width tokens (row-major); the targets are each token's successor modulo vocabulary.
inline TokenBatch tokenRows(std::uint64_t rows, std::uint64_t width, std::vector<std::uint32_t> tokens) {
    TokenBatch batch;
    batch.batch = rows;
    batch.width = width;
    batch.tokens = std::move(tokens);
    return batch;
}

inline std::vector<std::uint32_t> successors(const TokenBatch& batch, std::uint32_t vocabulary) {
    std::vector<std::uint32_t> targets;
    for (const std::uint32_t token : batch.tokens) {
        targets.push_back((token + 1) % vocabulary);
    }
    return targets;
}

// Rewrites the trailing checksum of an edited image, so that it reaches the checks behind it.
inline void reseal(Bytes& image) {
    const std::size_t payload = image.size() - 8;
    ByteWriter(image).patchU64(payload, vestraFnv1a64(std::span(image).first(payload)));
}

// The image with every value of its last tensor set (the open window's gradient sum) multiplied by
// factor, resealed. The four sets are equal in size and come after 72 bytes of header and counters.
inline Bytes withScaledWindow(Bytes image, double factor) {
    const std::size_t end = image.size() - 8;
    std::size_t at = end - (image.size() - 80) / 4;
    while (at < end) {
        const std::uint64_t count = ByteReader(std::span(image).subspan(at), "").u64();
        at += 8;
        for (std::uint64_t i = 0; i < count; ++i, at += 8) {
            const double value = ByteReader(std::span(image).subspan(at), "").f64();
            ByteWriter(image).patchU64(at, std::bit_cast<std::uint64_t>(value * factor));
        }
    }
    reseal(image);
    return image;
}

// A clipped step is an unclipped step on the clipped gradient: a window clipped to a quarter of its
// norm leaves the image (weights and moments) that the same window scaled by a quarter, exact in
// binary, leaves under the same threshold. opened(threshold) gives a pointer to a trainer of that
// maximum norm with the same window open each time.
template <class Opened>
void expectClippedStepIsAStepOnTheClippedGradient(const Opened& opened) {
    const double norm = opened(1e300)->step().gradientNorm;
    const auto clipped = opened(norm / 4);
    const auto scaled = opened(norm / 4);
    scaled->restoreCheckpoint(withScaledWindow(scaled->checkpointBytes(), 0.25));
    EXPECT_EQ(clipped->step().clipScale, 0.25);
    EXPECT_EQ(scaled->step().clipScale, 1.0);
    EXPECT_TRUE(scaled->checkpointBytes() == clipped->checkpointBytes()) << "weights or moments differ";
}

}  // namespace Halcyne::Core::Vestra::Testing
