// A trained model on disk, as the commands name it: a run directory (its specification and its
// latest checkpoint) or a VTM artifact with the specification it was written for (the model.json
// beside it, or one given explicitly: the artifact itself holds only the spec's fingerprint).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "core/transformer_model.h"
#include "core/transformer_spec.h"
#include "core/transformer_weights.h"

namespace Halcyne::Core::Vestra::Cli {

// Writes the model as a VTM artifact built for the byte tokenizer.
void exportArtifact(const TransformerSpec& spec, const TransformerWeights& weights, const std::filesystem::path& file);

// The size a run's checkpoint must have for the model its model.json describes, checked against the
// file and against this machine's memory before anything is allocated for the model: a model.json
// edited to a larger model is refused here, saying what the files claim. A checkpoint that cannot
// be sized is left for its reader to report.
[[nodiscard]] std::uint64_t requireCheckpointOfModel(const std::filesystem::path& checkpoint,
                                                     const std::filesystem::path& modelFile,
                                                     const TransformerSpec& spec);

// std::runtime_error with one line naming the file and the fault for anything that does not load.
[[nodiscard]] std::shared_ptr<const TransformerModel> loadModel(const std::filesystem::path& path,
                                                                const std::optional<std::filesystem::path>& specFile);

}  // namespace Halcyne::Core::Vestra::Cli
