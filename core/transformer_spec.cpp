#include "core/transformer_spec.h"

#include <cmath>
#include <limits>
#include <set>

#include "core/hash.h"
#include "core/identity_text.h"

namespace Halcyne::Core::Vestra {
namespace {

// Unsigned 64-bit arithmetic that remembers whether any step wrapped.
struct CheckedU64 {
    std::uint64_t value = 0;
    bool overflow = false;

    CheckedU64 operator+(CheckedU64 other) const {
        const bool wraps = other.value > std::numeric_limits<std::uint64_t>::max() - value;
        return {value + other.value, overflow || other.overflow || wraps};
    }
    CheckedU64 operator*(CheckedU64 other) const {
        const bool wraps = value != 0 && other.value > std::numeric_limits<std::uint64_t>::max() / value;
        return {value * other.value, overflow || other.overflow || wraps};
    }
};

bool finitePositive(double value) {
    return std::isfinite(value) && value > 0.0;
}

std::string portPrefix(std::size_t index) {
    return "ports[" + identityDecimal(index) + "]";
}

void validatePorts(const TransformerSpec& spec, std::vector<TransformerSpecIssue>& issues) {
    std::set<std::string> names;
    bool hasInput = false;
    bool hasOutput = false;
    for (std::size_t i = 0; i < spec.ports.size(); ++i) {
        const TransformerPort& port = spec.ports[i];
        const std::string prefix = portPrefix(i);
        const auto direction = static_cast<std::uint8_t>(port.direction);
        const auto kind = static_cast<std::uint8_t>(port.kind);
        if (port.name.empty()) {
            issues.push_back({prefix + ".name", "must not be empty"});
        } else if (!names.insert(port.name).second) {
            issues.push_back({prefix + ".name", "must be unique"});
        }
        if (direction >= 2) {
            issues.push_back({prefix + ".direction", "unknown direction"});
        }
        if (kind >= 3) {
            issues.push_back({prefix + ".kind", "unknown port kind"});
        }
        if (port.width == 0) {
            issues.push_back({prefix + ".width", "must be greater than zero"});
        }
        hasInput = hasInput || port.direction == PortDirection::Input;
        hasOutput = hasOutput || port.direction == PortDirection::Output;
        if (port.kind == PortKind::TokenIds && port.width != 1) {
            issues.push_back({prefix + ".width", "token_ids width must be one"});
        }
        if (port.kind == PortKind::Embedding && port.width != spec.model_dim) {
            issues.push_back({prefix + ".width", "embedding width must equal model_dim"});
        }
        if (port.kind == PortKind::Embedding && port.schema.empty()) {
            issues.push_back({prefix + ".schema", "embedding ports require a schema"});
        }
        if (port.kind == PortKind::Logits && port.width != spec.vocabulary) {
            issues.push_back({prefix + ".width", "logits width must equal vocabulary"});
        }
        if (port.kind == PortKind::TokenIds && port.direction != PortDirection::Input) {
            issues.push_back({prefix + ".direction", "token_ids must be an input"});
        }
        if (port.kind == PortKind::Logits && port.direction != PortDirection::Output) {
            issues.push_back({prefix + ".direction", "logits must be an output"});
        }
    }
    if (!hasInput) {
        issues.push_back({"ports", "at least one input port is required"});
    }
    if (!hasOutput) {
        issues.push_back({"ports", "at least one output port is required"});
    }
}

}  // namespace

std::vector<TransformerSpecIssue> validateTransformerSpec(const TransformerSpec& spec) {
    std::vector<TransformerSpecIssue> issues;
    const std::pair<const char*, std::uint32_t> dimensions[] = {
        {"vocabulary", spec.vocabulary}, {"context", spec.context},   {"layers", spec.layers},
        {"model_dim", spec.model_dim},   {"ffn_dim", spec.ffn_dim},   {"query_heads", spec.query_heads},
        {"kv_heads", spec.kv_heads},     {"head_dim", spec.head_dim},
    };
    for (const auto& [field, value] : dimensions) {
        if (value == 0) {
            issues.push_back({field, "must be greater than zero"});
        }
    }
    if (std::uint64_t{spec.model_dim} != std::uint64_t{spec.query_heads} * spec.head_dim) {
        issues.push_back({"model_dim", "must equal query_heads * head_dim"});
    }
    if (spec.kv_heads > spec.query_heads) {
        issues.push_back({"kv_heads", "must not exceed query_heads"});
    }
    if (spec.kv_heads != 0 && spec.query_heads % spec.kv_heads != 0) {
        issues.push_back({"kv_heads", "must divide query_heads exactly"});
    }
    if (spec.position.kind != PositionKind::Rope) {
        issues.push_back({"position.kind", "unknown position encoding"});
    }
    if (spec.position.kind == PositionKind::Rope && spec.head_dim % 2 != 0) {
        issues.push_back({"head_dim", "must be even for RoPE"});
    }
    if (!finitePositive(spec.position.rope_base)) {
        issues.push_back({"position.rope_base", "must be finite and greater than zero"});
    }
    if (spec.normalization.kind != NormalizationKind::RmsNorm) {
        issues.push_back({"normalization.kind", "unknown normalization"});
    }
    if (!finitePositive(spec.normalization.epsilon)) {
        issues.push_back({"normalization.epsilon", "must be finite and greater than zero"});
    }
    if (static_cast<std::uint8_t>(spec.feed_forward) >= 2) {
        issues.push_back({"feed_forward", "unknown feed-forward kind"});
    }
    const std::pair<const char*, PrecisionKind> precisions[] = {
        {"precision.weights", spec.precision.weights},
        {"precision.activations", spec.precision.activations},
        {"precision.kv_cache", spec.precision.kv_cache},
    };
    for (const auto& [field, value] : precisions) {
        if (static_cast<std::uint8_t>(value) >= 3) {
            issues.push_back({field, "unknown dtype"});
        }
    }
    validatePorts(spec, issues);
    if (transformerParameterCount(spec).overflow) {
        issues.push_back({"dimensions", "parameter count overflows uint64"});
    }
    return issues;
}

TransformerParameterCount transformerParameterCount(const TransformerSpec& spec) {
    const CheckedU64 vocabulary{spec.vocabulary};
    const CheckedU64 modelDim{spec.model_dim};
    const CheckedU64 headDim{spec.head_dim};
    const CheckedU64 embedding = vocabulary * modelDim;
    const CheckedU64 query = CheckedU64{spec.query_heads} * headDim;
    const CheckedU64 keyValue = CheckedU64{spec.kv_heads} * headDim;
    const CheckedU64 projections{spec.feed_forward == FeedForwardKind::SwiGlu ? 3ULL : 2ULL};
    const CheckedU64 feedForward = modelDim * CheckedU64{spec.ffn_dim} * projections;

    CheckedU64 total = spec.tied_embeddings ? embedding : embedding + embedding;
    const CheckedU64 perLayer =
        modelDim * (query + keyValue + keyValue + modelDim) + feedForward + CheckedU64{2} * modelDim;
    total = total + CheckedU64{spec.layers} * perLayer;
    total = total + modelDim;
    return {total.value, total.overflow};
}

std::string transformerSpecIdentity(const TransformerSpec& spec) {
    const auto number = [](auto value) { return identityDecimal(static_cast<std::uint64_t>(value)); };
    std::string identity = "vestra-transformer-spec-v1;";
    appendIdentityEntry(identity, "vocabulary", number(spec.vocabulary));
    appendIdentityEntry(identity, "context", number(spec.context));
    appendIdentityEntry(identity, "layers", number(spec.layers));
    appendIdentityEntry(identity, "model_dim", number(spec.model_dim));
    appendIdentityEntry(identity, "ffn_dim", number(spec.ffn_dim));
    appendIdentityEntry(identity, "query_heads", number(spec.query_heads));
    appendIdentityEntry(identity, "kv_heads", number(spec.kv_heads));
    appendIdentityEntry(identity, "head_dim", number(spec.head_dim));
    appendIdentityEntry(identity, "position_kind", number(spec.position.kind));
    appendIdentityEntry(identity, "rope_base", identityDouble(spec.position.rope_base));
    appendIdentityEntry(identity, "normalization_kind", number(spec.normalization.kind));
    appendIdentityEntry(identity, "normalization_epsilon", identityDouble(spec.normalization.epsilon));
    appendIdentityEntry(identity, "feed_forward", number(spec.feed_forward));
    appendIdentityEntry(identity, "weights_dtype", number(spec.precision.weights));
    appendIdentityEntry(identity, "activations_dtype", number(spec.precision.activations));
    appendIdentityEntry(identity, "kv_cache_dtype", number(spec.precision.kv_cache));
    appendIdentityEntry(identity, "tied_embeddings", spec.tied_embeddings ? "1" : "0");
    appendIdentityEntry(identity, "port_count", number(spec.ports.size()));
    for (const TransformerPort& port : spec.ports) {
        appendIdentityEntry(identity, "port_name", port.name);
        appendIdentityEntry(identity, "port_direction", number(port.direction));
        appendIdentityEntry(identity, "port_kind", number(port.kind));
        appendIdentityEntry(identity, "port_width", number(port.width));
        appendIdentityEntry(identity, "port_schema", port.schema);
    }
    return identity;
}

std::uint64_t transformerSpecFingerprint(const TransformerSpec& spec) {
    return vestraFnv1a64(transformerSpecIdentity(spec));
}

}  // namespace Halcyne::Core::Vestra
