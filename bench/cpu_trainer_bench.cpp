// CPU trainer figures the device trainer is measured against: for the fixture model and the
// community shape, the size of the forward tape and the wall time of one accumulate + step (best of
// several runs on fresh trainers, so each run does the same work). The community shape is measured on
// the common four-token batch and on one full row of its 64-token context. Each figure stands beside
// the same run with a tape of the same shape held alive meanwhile, so that its tape cannot reuse the
// kept node array and records into fresh pages, as every call did before the array was kept. Then
// the tape recording and backward sweep of one accumulate are timed alone, in turns with the
// routines this branch replaced (bench/previous/tape.h), which gives the accumulate + step figure
// with the previous routines; their nodes and gradients are checked to be the same bits.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "bench/fastest.h"
#include "bench/previous/tape.h"
#include "driver/fixtures.h"
#include "reference/cross_entropy.h"
#include "reference/forward.h"
#include "reference/tape.h"
#include "training/transformer_trainer.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr int runs = 5;

// One row that fills the context: token i is 1 + i mod 255, each target the next token.
TokenBatch fullContextBatch(std::uint32_t context, std::vector<std::uint32_t>& targets) {
    TokenBatch batch{1, context, {}, {}, {}};
    for (std::uint32_t i = 0; i < context; ++i) {
        batch.tokens.push_back(1 + i % 255);
        targets.push_back(1 + (i + 1) % 255);
    }
    return batch;
}

// Whether the gradients equal the adjoints at the previous tape's leaves and input embedding copies.
bool sameGradients(const TransformerGradients& gradients, const Previous::Tape& tape,
                   const std::vector<double>& adjoint) {
    const auto same = [&](const Tensor& gradient, const TapeLeaves& leaves) {
        for (std::uint64_t e = 0; e < leaves.count; ++e) {
            if (std::bit_cast<std::uint64_t>(gradient.values[e]) !=
                std::bit_cast<std::uint64_t>(adjoint[leaves.first + e])) {
                return false;
            }
        }
        return true;
    };
    bool equal = same(gradients.token_embedding, tape.tokenEmbeddingLeaves) &&
                 same(gradients.final_norm, tape.finalNormLeaves) &&
                 same(gradients.output_embedding, tape.outputEmbeddingLeaves);
    for (std::size_t l = 0; l < gradients.layers.size(); ++l) {
        const TransformerLayerWeights& g = gradients.layers[l];
        const TapeLayerLeaves& leaves = tape.layerLeaves[l];
        const std::array<const Tensor*, 9> tensors{&g.attention_norm,   &g.query,    &g.key,      &g.value,
                                                   &g.attention_output, &g.ffn_norm, &g.ffn_gate, &g.ffn_up,
                                                   &g.ffn_down};
        for (std::size_t i = 0; i < tensors.size(); ++i) {
            equal = equal && same(*tensors[i], leaves[i]);
        }
    }
    for (std::size_t i = 0; i < tape.inputEmbeddingNodes.size(); ++i) {
        const std::uint64_t node = tape.inputEmbeddingNodes[i];
        const double previous = node == noTapeParent ? 0.0 : adjoint[node];
        equal = equal && std::bit_cast<std::uint64_t>(gradients.inputEmbeddings.values[i]) ==
                             std::bit_cast<std::uint64_t>(previous);
    }
    return equal;
}

void measure(const char* name, const TransformerSpec& spec, const TransformerWeights& weights, const TokenBatch& batch,
             const std::vector<std::uint32_t>& targets) {
    const TransformerForwardTape tape = gradientForward(spec, weights, batch);

    const auto accumulateAndStep = [&] {
        TransformerTrainer trainer(spec, weights, scenarioTrainingConfig("cpu-trainer-bench"));
        const auto start = std::chrono::steady_clock::now();
        (void)trainer.accumulate(batch, targets);
        (void)trainer.step();
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    double best = std::numeric_limits<double>::infinity();
    double fresh = std::numeric_limits<double>::infinity();
    for (int run = 0; run < runs; ++run) {
        best = std::min(best, accumulateAndStep());
        const TransformerForwardTape held = gradientForward(spec, weights, batch);
        fresh = std::min(fresh, accumulateAndStep());
    }
    std::printf("%-12s tape nodes %12llu  tape bytes %14llu  accumulate+step %10.3f ms (into fresh pages %.3f ms)\n",
                name, static_cast<unsigned long long>(tape.nodeCount()),
                static_cast<unsigned long long>(tape.byteSize()), best, fresh);

    const Tensor logitsGradient = crossEntropy(tape.logits(), batch, targets).logitsGradient;
    Previous::Tape previousTape;
    std::vector<double> previousAdjoint;
    const auto [now, previous] = fastestInTurns(
        runs,
        [&] {
            const TransformerForwardTape recorded = gradientForward(spec, weights, batch);
            (void)transformerBackward(recorded, logitsGradient);
        },
        [&] {
            (void)transformerForward(spec, weights, batch, ForwardOptions{});
            Previous::gradientForward(spec, weights, batch, previousTape);
            Previous::transformerBackward(previousTape, logitsGradient, previousAdjoint);
        });
    const std::vector<TapeNode>& nodes = tape.data().nodes;
    const bool identical = nodes.size() == previousTape.nodes.size() &&
                           std::memcmp(nodes.data(), previousTape.nodes.data(), nodes.size() * sizeof(TapeNode)) == 0 &&
                           sameGradients(transformerBackward(tape, logitsGradient), previousTape, previousAdjoint);
    std::printf(
        "%-12s tape recording + backward %10.3f ms (previous routines %.3f ms, %.2fx); accumulate+step with the "
        "previous routines %.3f ms; nodes and gradients %s\n",
        name, now, previous, previous / now, best - now + previous, identical ? "bit-identical" : "DIFFER");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main() {
    using namespace Halcyne::Core::Vestra;
    const auto model = fixtureModel();
    measure("fixture", model->spec(), model->weights(), commonBatch(), commonTargets());
    const TransformerSpec community = communitySpec();
    const TransformerWeights communityWeights = randomWeights(community);
    measure("community", community, communityWeights, commonBatch(), commonTargets());
    std::vector<std::uint32_t> targets;
    const TokenBatch full = fullContextBatch(community.context, targets);
    measure("community64", community, communityWeights, full, targets);
    return 0;
}
