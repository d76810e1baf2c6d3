#include "driver/fixtures.h"

#include <cmath>
#include <stdexcept>
#include <utility>

#include "artifacts/byte_tokenizer.h"
#include "driver/harness.h"

namespace Halcyne::Core::Vestra {
namespace {

TransformerSpec baseSpec(std::uint32_t layers, std::uint32_t modelDim, std::uint32_t ffnDim, std::uint32_t queryHeads,
                         std::uint32_t kvHeads, std::uint32_t headDim) {
    TransformerSpec spec;
    spec.vocabulary = 258;
    spec.context = 64;
    spec.layers = layers;
    spec.model_dim = modelDim;
    spec.ffn_dim = ffnDim;
    spec.query_heads = queryHeads;
    spec.kv_heads = kvHeads;
    spec.head_dim = headDim;
    spec.position = {PositionKind::Rope, 10000.0};
    spec.normalization = {NormalizationKind::RmsNorm, 1e-5};
    spec.feed_forward = FeedForwardKind::SwiGlu;
    spec.precision = {};
    spec.tied_embeddings = true;
    spec.ports = {
        {"tokens", PortDirection::Input, PortKind::TokenIds, 1, "tokens/1"},
        {"logits", PortDirection::Output, PortKind::Logits, 258, "logits/1"},
    };
    return spec;
}

Tensor normTensor(Extents shape, double seed) {
    Tensor tensor = sineTensor(std::move(shape), seed);
    for (double& value : tensor.values) {
        value += 1.0;
    }
    return tensor;
}

// Compares one pair of tensors under its label; the shape check comes before any value is read.
void compareTensor(double& largest, const Tensor& a, const Tensor& b, const std::string& label) {
    if (a.shape != b.shape) {
        throw std::runtime_error("model gradient shape differs: " + label);
    }
    const double difference = maxAbsDifference(a, b);
    if (difference > largest) {
        largest = difference;
    }
}

}  // namespace

TransformerSpec fixtureSpec() {
    return baseSpec(1, 8, 16, 2, 1, 4);
}

TransformerSpec communitySpec() {
    return baseSpec(3, 48, 128, 6, 2, 8);
}

Tensor waveTensor(Extents shape, Wave wave, double amplitude, double frequency, double phase) {
    Tensor tensor(std::move(shape));
    for (std::size_t i = 0; i < tensor.values.size(); ++i) {
        const double angle = frequency * static_cast<double>(i) + phase;
        tensor.values[i] = amplitude * (wave == Wave::Sine ? std::sin(angle) : std::cos(angle));
    }
    return tensor;
}

Tensor sineTensor(Extents shape, double seed) {
    return waveTensor(std::move(shape), Wave::Sine, 0.03, 0.13, seed);
}

TransformerWeights fixtureWeights() {
    TransformerWeights weights;
    weights.token_embedding = sineTensor({258, 8}, 1.0);
    TransformerLayerWeights layer;
    layer.attention_norm = normTensor({8}, 2.0);
    layer.ffn_norm = normTensor({8}, 3.0);
    layer.query = sineTensor({8, 8}, 4.0);
    layer.key = sineTensor({4, 8}, 5.0);
    layer.value = sineTensor({4, 8}, 6.0);
    layer.attention_output = sineTensor({8, 8}, 7.0);
    layer.ffn_gate = sineTensor({16, 8}, 8.0);
    layer.ffn_up = sineTensor({16, 8}, 9.0);
    layer.ffn_down = sineTensor({8, 16}, 10.0);
    weights.layers.push_back(std::move(layer));
    weights.final_norm = normTensor({8}, 11.0);
    return weights;
}

std::shared_ptr<const TransformerModel> fixtureModel() {
    const ByteTokenizer tokenizer;
    std::string fingerprint = tokenizer.contract().fingerprint;
    return std::make_shared<const TransformerModel>(fixtureSpec(), fixtureWeights(), std::move(fingerprint));
}

FixtureRandom::FixtureRandom(std::uint64_t seed) noexcept
    : state_((seed * 0xbf58476d1ce4e5b9ULL) ^ 0x9e3779b97f4a7c15ULL) {}

double FixtureRandom::next(double scale) noexcept {
    std::uint64_t x = state_;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    state_ = x;
    const double unit = static_cast<double>((x * 0x2545f4914f6cdd1dULL) >> 11) * 0x1.0p-53;
    return (2.0 * unit - 1.0) * scale;
}

Tensor uniformTensor(Extents shape, std::uint64_t seed, double scale) {
    Tensor tensor(std::move(shape));
    FixtureRandom random(seed);
    for (double& value : tensor.values) {
        value = random.next(scale);
    }
    return tensor;
}

Tensor xavierTensor(Extents shape, std::uint64_t seed, std::uint64_t fanA, std::uint64_t fanB) {
    return uniformTensor(std::move(shape), seed, std::sqrt(6.0 / static_cast<double>(fanA + fanB)));
}

Tensor scaledXavierTensor(Extents shape, std::uint64_t seed, std::uint64_t fanA, std::uint64_t fanB,
                          std::uint64_t layers) {
    Tensor tensor = xavierTensor(std::move(shape), seed, fanA, fanB);
    const double factor = 1.0 / std::sqrt(2.0 * static_cast<double>(layers));
    for (double& value : tensor.values) {
        value *= factor;
    }
    return tensor;
}

TransformerWeights randomWeights(const TransformerSpec& spec) {
    const std::uint64_t vocabulary = spec.vocabulary;
    const std::uint64_t d = spec.model_dim;
    const std::uint64_t f = spec.ffn_dim;
    const std::uint64_t q = std::uint64_t{spec.query_heads} * spec.head_dim;
    const std::uint64_t k = std::uint64_t{spec.kv_heads} * spec.head_dim;
    const std::uint64_t layers = spec.layers;

    TransformerWeights weights;
    weights.token_embedding = uniformTensor({vocabulary, d}, 1, 0.02);
    for (std::uint64_t l = 0; l < layers; ++l) {
        TransformerLayerWeights layer;
        layer.attention_norm = Tensor({d}, 1.0);
        layer.ffn_norm = Tensor({d}, 1.0);
        layer.query = xavierTensor({q, d}, 10 + l, q, d);
        layer.key = xavierTensor({k, d}, 20 + l, k, d);
        layer.value = xavierTensor({k, d}, 30 + l, k, d);
        layer.attention_output = scaledXavierTensor({d, q}, 40 + l, q, d, layers);
        layer.ffn_gate = xavierTensor({f, d}, 50 + l, f, d);
        layer.ffn_up = xavierTensor({f, d}, 60 + l, f, d);
        layer.ffn_down = scaledXavierTensor({d, f}, 70 + l, f, d, layers);
        weights.layers.push_back(std::move(layer));
    }
    weights.final_norm = Tensor({d}, 1.0);
    if (!spec.tied_embeddings) {
        weights.output_embedding = uniformTensor({vocabulary, d}, 80, 0.02);
    }
    return weights;
}

TokenBatch commonBatch() {
    return TokenBatch{1, 4, {1, 2, 3, 4}, {}, {}};
}

std::vector<std::uint32_t> commonTargets() {
    return {2, 3, 4, 5};
}

TransformerTrainingConfig scenarioTrainingConfig(std::string datasetHash) {
    TransformerTrainingConfig config;
    config.dataset_hash = std::move(datasetHash);
    return config;
}

double maxModelDifference(const TransformerWeights& a, const TransformerWeights& b) {
    double largest = 0.0;
    compareTensor(largest, a.token_embedding, b.token_embedding, "embedding");
    compareTensor(largest, a.final_norm, b.final_norm, "final norm");
    if (!a.output_embedding.values.empty()) {
        compareTensor(largest, a.output_embedding, b.output_embedding, "output");
    }
    if (a.layers.size() != b.layers.size()) {
        throw std::runtime_error("model layer counts differ");
    }
    for (std::size_t l = 0; l < a.layers.size(); ++l) {
        const TransformerLayerWeights& x = a.layers[l];
        const TransformerLayerWeights& y = b.layers[l];
        compareTensor(largest, x.attention_norm, y.attention_norm, "attention norm");
        compareTensor(largest, x.query, y.query, "query");
        compareTensor(largest, x.key, y.key, "key");
        compareTensor(largest, x.value, y.value, "value");
        compareTensor(largest, x.attention_output, y.attention_output, "attention output");
        compareTensor(largest, x.ffn_norm, y.ffn_norm, "ffn norm");
        if (!x.ffn_gate.values.empty()) {
            compareTensor(largest, x.ffn_gate, y.ffn_gate, "ffn gate");
        }
        compareTensor(largest, x.ffn_up, y.ffn_up, "ffn up");
        compareTensor(largest, x.ffn_down, y.ffn_down, "ffn down");
    }
    return largest;
}

}  // namespace Halcyne::Core::Vestra
