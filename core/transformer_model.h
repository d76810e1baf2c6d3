// TransformerModel: the immutable pairing of a specification with one weight set. Construction
// proves the weights fit the spec by one forward pass and fingerprints the model through its VTM
// artifact; afterwards nothing changes. Hold it through std::shared_ptr<const TransformerModel>.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/byte_writer.h"
#include "core/transformer_spec.h"
#include "core/transformer_weights.h"

namespace Halcyne::Core::Vestra {

class TransformerModel {
  public:
    // Runs transformerForward on one row holding token 0 (its exceptions propagate unchanged),
    // requires every weight to be finite (requireFiniteWeights), then builds the VTM artifact. tokenizerFingerprint is
    // the tokenizer contract's 16 hex digits.
    TransformerModel(TransformerSpec spec, const TransformerWeights& weights,
                     std::optional<std::string> tokenizerFingerprint = std::nullopt);

    // Shared, never copied: holders copy the pointer.
    TransformerModel(const TransformerModel&) = delete;
    TransformerModel& operator=(const TransformerModel&) = delete;

    [[nodiscard]] const TransformerSpec& spec() const noexcept { return spec_; }
    [[nodiscard]] const TransformerWeights& weights() const noexcept { return weights_; }
    [[nodiscard]] const std::optional<std::string>& tokenizerFingerprint() const noexcept {
        return tokenizerFingerprint_;
    }
    // vtmArtifactChecksum of the artifact: the checksum the artifact stores at offset 32.
    [[nodiscard]] std::uint64_t artifactFingerprint() const noexcept { return artifactFingerprint_; }
    [[nodiscard]] const Bytes& artifact() const noexcept { return artifact_; }

  private:
    TransformerSpec spec_;
    TransformerWeights weights_;
    std::optional<std::string> tokenizerFingerprint_;
    std::uint64_t artifactFingerprint_ = 0;
    Bytes artifact_;
};

}  // namespace Halcyne::Core::Vestra
