// TransformerSpec: the shape of a decoder-only transformer. Validation reports findings and never
// throws; the identity string is canonical (fixed key order, length-prefixed entries) and its hash
// is the fingerprint that ties artifacts and checkpoints to one specification.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Halcyne::Core::Vestra {

enum class PositionKind : std::uint8_t { Rope = 0 };
enum class NormalizationKind : std::uint8_t { RmsNorm = 0 };
enum class FeedForwardKind : std::uint8_t { Gelu = 0, SwiGlu = 1 };
// 0 is double precision everywhere; activations = Bf16 runs the device trainer's linear
// products as BF16 tensor-core GEMMs. Float32 is accepted and carried in the identity.
enum class PrecisionKind : std::uint8_t { Float64 = 0, Float32 = 1, Bf16 = 2 };
enum class PortDirection : std::uint8_t { Input = 0, Output = 1 };
enum class PortKind : std::uint8_t { TokenIds = 0, Embedding = 1, Logits = 2 };

struct TransformerPort {
    std::string name;
    PortDirection direction = PortDirection::Input;
    PortKind kind = PortKind::TokenIds;
    std::uint32_t width = 0;
    std::string schema;
};

struct PositionSpec {
    PositionKind kind = PositionKind::Rope;
    double rope_base = 0.0;
};

struct NormalizationSpec {
    NormalizationKind kind = NormalizationKind::RmsNorm;
    double epsilon = 0.0;
};

struct PrecisionSpec {
    PrecisionKind weights = PrecisionKind::Float64;
    PrecisionKind activations = PrecisionKind::Float64;
    PrecisionKind kv_cache = PrecisionKind::Float64;
};

// A value-initialised spec has every number 0 and no ports.
struct TransformerSpec {
    std::uint32_t vocabulary = 0;
    std::uint32_t context = 0;
    std::uint32_t layers = 0;
    std::uint32_t model_dim = 0;
    std::uint32_t ffn_dim = 0;
    std::uint32_t query_heads = 0;
    std::uint32_t kv_heads = 0;
    std::uint32_t head_dim = 0;
    PositionSpec position;
    NormalizationSpec normalization;
    FeedForwardKind feed_forward = FeedForwardKind::Gelu;
    PrecisionSpec precision;
    bool tied_embeddings = false;
    std::vector<TransformerPort> ports;
};

struct TransformerSpecIssue {
    std::string field;
    std::string message;

    friend bool operator==(const TransformerSpecIssue&, const TransformerSpecIssue&) = default;
};

struct TransformerParameterCount {
    std::uint64_t count = 0;
    bool overflow = false;
};

// Every finding, in a fixed order; empty when the spec is valid. Throws only on allocation failure.
[[nodiscard]] std::vector<TransformerSpecIssue> validateTransformerSpec(const TransformerSpec& spec);

// Defined for any spec, valid or not.
[[nodiscard]] std::string transformerSpecIdentity(const TransformerSpec& spec);
[[nodiscard]] std::uint64_t transformerSpecFingerprint(const TransformerSpec& spec);

// Unsigned 64-bit count of the weights the layout holds, with any overflow flagged.
[[nodiscard]] TransformerParameterCount transformerParameterCount(const TransformerSpec& spec);

}  // namespace Halcyne::Core::Vestra
