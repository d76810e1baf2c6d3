// Scalar reverse-mode differentiation of the forward pass. gradientForward re-evaluates the forward
// one scalar operation at a time and records each as a TapeNode (parents always have smaller
// indices); transformerBackward sweeps the nodes from last to first and gathers one gradient per
// weight element plus the gradient of the input embeddings. A returned tape is immutable.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "core/tensor.h"
#include "core/transformer_spec.h"
#include "core/transformer_weights.h"
#include "reference/forward.h"
#include "reference/token_batch.h"

namespace Halcyne::Core::Vestra {

// The parent index of an operand that is absent.
inline constexpr std::uint64_t noTapeParent = std::numeric_limits<std::uint64_t>::max();

// One recorded scalar: its value, up to two operand nodes and the derivatives with respect to them.
// Kept at 40 bytes: the tape holds a few of these per multiply-add of the whole model.
struct TapeNode {
    double value = 0.0;
    std::uint64_t parent0 = noTapeParent;
    std::uint64_t parent1 = noTapeParent;
    double partial0 = 0.0;
    double partial1 = 0.0;
};
static_assert(sizeof(TapeNode) == 40, "a tape node is five 8-byte fields");

// The leaf nodes of one weight tensor: leaf e (element e in row-major order) is node first + e.
// Leaves of a tensor are recorded consecutively, so a range says what a list of indices would.
struct TapeLeaves {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
};

// Leaf ranges of one layer, in the member order of TransformerLayerWeights.
using TapeLayerLeaves = std::array<TapeLeaves, 9>;

// One gradient per weight of the layout (the output embedding gradient is empty when embeddings are
// tied; the gate gradient is all zeros for GELU), followed by the gradient of the input
// embeddings [batch, width, model_dim], 0 at padding positions.
struct TransformerGradients : TransformerWeights {
    Tensor inputEmbeddings;
};

class TransformerForwardTape {
  public:
    struct Data {
        std::vector<TapeNode> nodes;
        Tensor logits;                          // [batch, width, vocabulary], 0 at padding positions
        std::vector<std::uint64_t> logitNodes;  // one node per logits element, row-major
        TransformerSpec spec;
        TokenBatch batch;
        TransformerWeights weights;  // kept for the shapes of the gradients
        TapeLeaves tokenEmbeddingLeaves;
        TapeLeaves finalNormLeaves;
        TapeLeaves outputEmbeddingLeaves;  // empty when embeddings are tied
        std::vector<TapeLayerLeaves> layerLeaves;
        std::vector<std::uint64_t> inputEmbeddingNodes;  // batch*width*model_dim; noTapeParent at padding
    };

    // A tape without payload; only a tape returned by gradientForward has one.
    TransformerForwardTape() = default;
    explicit TransformerForwardTape(std::shared_ptr<const Data> data) noexcept : data_(std::move(data)) {}

    [[nodiscard]] bool empty() const noexcept { return data_ == nullptr; }

    // Throw std::logic_error "empty transformer forward tape" on a tape without payload.
    [[nodiscard]] const Tensor& logits() const;
    [[nodiscard]] const Data& data() const;

    // Recorded nodes, and the bytes the payload's arrays hold (nodes, logits, index lists and the
    // copied batch and weights); both 0 for a tape without payload.
    [[nodiscard]] std::uint64_t nodeCount() const noexcept;
    [[nodiscard]] std::uint64_t byteSize() const noexcept;

  private:
    std::shared_ptr<const Data> data_;
};

// The number of nodes gradientForward records for a spec and batch that pass the forward's
// validation; the recorder reserves exactly this many.
[[nodiscard]] std::uint64_t tapeNodeCount(const TransformerSpec& spec, const TokenBatch& batch);

// Validates through transformerForward first (its messages), then records. A non-finite node or
// leaf throws std::domain_error "gradient forward produced NaN/Inf".
[[nodiscard]] TransformerForwardTape gradientForward(const TransformerSpec& spec, const TransformerWeights& weights,
                                                     const TokenBatch& batch);

// logitsGradient has the tape's logits shape [batch, width, vocabulary]. When set, observer sees
// ("token_embedding", gradient) and then ("input_embeddings", gradient).
[[nodiscard]] TransformerGradients transformerBackward(const TransformerForwardTape& tape, const Tensor& logitsGradient,
                                                       const ForwardObserver& observer = {});

// The backward of one part of a batch recorded as several tapes of consecutive rows, for a batch whose
// single tape would not fit in memory. Every weight's gradient continues the sums in `sums` (shaped
// like the weights, zero before the first part): swept from the last part to the first, the parts
// add to each weight exactly what one tape of the whole batch adds, in the order its sweep would.
// The token lookups, which come first on a tape and so last in its sweep, are left out: the part's
// input-embedding gradient is returned, for the caller to add into the token embedding sums once
// every part is in (each lookup with partial 1.0, parts, rows, positions and elements from last to
// first). Throws as transformerBackward does, and std::invalid_argument "gradient sums do not fit
// the tape".
[[nodiscard]] Tensor transformerBackwardPart(const TransformerForwardTape& part, const Tensor& logitsGradient,
                                             TransformerWeights& sums);

}  // namespace Halcyne::Core::Vestra
