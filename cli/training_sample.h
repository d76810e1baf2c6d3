// The short sample a run writes on its log every --sample-every steps: defaultPrompt continued
// from the current weights with the sampling defaults and one fixed seed, so that the samples of a
// run differ only by what the model has learnt. It reads the weights and nothing else, so a run's
// course is the same with samples or without.
#pragma once

#include <cstdint>
#include <string>

#include "core/transformer_spec.h"
#include "core/transformer_weights.h"

namespace Halcyne::Core::Vestra::Cli {

// One line, `sample at step N: "..."`, its bytes escaped where they would break the line.
[[nodiscard]] std::string trainingSample(const TransformerSpec& spec, const TransformerWeights& weights,
                                         std::uint64_t step);

}  // namespace Halcyne::Core::Vestra::Cli
