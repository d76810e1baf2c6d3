#include "core/transformer_model.h"

#include <utility>

#include "artifacts/vtm_artifact.h"
#include "reference/forward.h"
#include "reference/token_batch.h"

namespace Halcyne::Core::Vestra {

TransformerModel::TransformerModel(TransformerSpec spec, const TransformerWeights& weights,
                                   std::optional<std::string> tokenizerFingerprint)
    : spec_(std::move(spec)), weights_(weights), tokenizerFingerprint_(std::move(tokenizerFingerprint)) {
    // One row holding token 0 proves that spec and weights fit together; the logits are not kept.
    const TokenBatch probe{1, 1, {0}, {}, {}};
    (void)transformerForward(spec_, weights_, probe, ForwardOptions{});
    requireFiniteWeights(weights_);
    artifact_ = buildVtmArtifact(spec_, weights_, tokenizerFingerprint_);
    artifactFingerprint_ = vtmArtifactChecksum(artifact_);
}

}  // namespace Halcyne::Core::Vestra
