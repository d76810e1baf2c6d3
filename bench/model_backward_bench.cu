// The whole-model backward at the community shape (one full 64-token row) on the build's device
// backend (what the driver's model64_ms times), beside the CPU tape backward of the same batch. The
// model backward's linear backward calls, host linear products and attention backward calls are
// also replayed alone, which shows where its time goes. Fastest of a few runs each, taken in turns;
// bench/compare-base sets these figures beside a base commit's.
#include <cstdio>
#include <vector>

#include "bench/fastest.h"
#include "cuda/operators/attention_backward.h"
#include "cuda/operators/host_forward_tape.h"
#include "cuda/operators/linear_backward.h"
#include "cuda/operators/model_backward.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/fixtures.h"
#include "driver/scenarios/attention_parity.h"
#include "driver/scenarios/model_backward.h"
#include "reference/cross_entropy.h"
#include "reference/linear.h"
#include "reference/tape.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr int kRepetitions = 3;

// One linear product of the forward and its backward: input [rows, in], weight [out, in], and an
// output gradient [rows, out].
struct LinearCall {
    const Tensor* input;
    const Tensor* weight;
    Tensor gradient;
};

// The model backward's linear products: per layer query, key, value, attention output, gate, up
// and down, then the logits.
std::vector<LinearCall> linearCalls(const HostForwardTape& tape, const TransformerWeights& weights) {
    std::vector<LinearCall> calls;
    const auto add = [&](const Tensor& input, const Tensor& weight) {
        const Extents shape{input.shape[0], weight.shape[0]};
        calls.push_back({&input, &weight, waveTensor(shape, Wave::Cosine, 0.02, 0.013, 0.3)});
    };
    for (std::size_t l = 0; l < tape.layers.size(); ++l) {
        const HostLayerTape& layer = tape.layers[l];
        const TransformerLayerWeights& w = weights.layers[l];
        add(layer.attentionNormed, w.query);
        add(layer.attentionNormed, w.key);
        add(layer.attentionNormed, w.value);
        add(layer.attention, w.attention_output);
        add(layer.ffnNormed, w.ffn_gate);
        add(layer.ffnNormed, w.ffn_up);
        add(layer.activation, w.ffn_down);
    }
    add(tape.finalNormed, weights.token_embedding);
    return calls;
}

// The model backward's attention backward calls, one per layer.
std::vector<AttentionBackwardProblem> attentionCalls(const HostForwardTape& tape, const ModelBackwardProblem& p) {
    std::vector<AttentionBackwardProblem> calls;
    for (const HostLayerTape& layer : tape.layers) {
        calls.push_back({layer.query, layer.key, layer.value,
                         waveTensor(layer.query.shape, Wave::Sine, 0.02, 0.017, 0.1), p.batch.batch, p.batch.width,
                         p.spec.query_heads, p.spec.kv_heads, p.spec.head_dim, p.batch.lengths});
    }
    return calls;
}

Tensor hostProduct(const LinearCall& call) {
    return linearProduct(*call.input, *call.weight, call.input->shape[0], call.input->shape[1], call.weight->shape[0],
                         true, [](double value, bool) { return value; });
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main() {
    using namespace Halcyne::Core::Vestra;
    const ModelBackwardProblem problem = modelBackwardProblemAtCommunityShape();
    const TransformerCudaSession session(0);
    const TransformerCudaContext& context = session.context();
    const auto [device, cpu] = fastestInTurns(
        kRepetitions,
        [&] { (void)cudaModelBackward(problem.spec, problem.weights, problem.batch, problem.targets, context); },
        [&] {
            const TransformerForwardTape tape = gradientForward(problem.spec, problem.weights, problem.batch);
            (void)transformerBackward(tape, crossEntropy(tape.logits(), problem.batch, problem.targets).logitsGradient);
        });

    const HostForwardTape tape = hostForwardTape(problem.spec, problem.weights, problem.batch);
    const std::vector<LinearCall> linears = linearCalls(tape, problem.weights);
    const std::vector<AttentionBackwardProblem> attentions = attentionCalls(tape, problem);
    const auto [linear, host, attention] = fastestInTurns(
        kRepetitions,
        [&] {
            for (const LinearCall& c : linears) {
                (void)cudaLinearBackward(*c.input, *c.weight, c.gradient, context);
            }
        },
        [&] {
            for (const LinearCall& c : linears) {
                (void)hostProduct(c);
            }
        },
        [&] {
            for (const AttentionBackwardProblem& a : attentions) {
                (void)cudaAttentionBackward(a, context);
            }
        });
    std::printf("model backward at community shape, 64 tokens: device %.2f ms, CPU tape %.2f ms (CPU/device %.2f)\n",
                device, cpu, cpu / device);
    std::printf(
        "  replayed alone: %zu linear backward calls %.2f ms, %zu host linear products %.2f ms, %zu attention "
        "backward calls %.2f ms\n",
        linears.size(), linear, linears.size(), host, attentions.size(), attention);
    return 0;
}
