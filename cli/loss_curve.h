// The loss curve of a run as a stand-alone SVG picture: training loss per step (a line) and the
// validation losses (dots joined by a line), in nats per token, over the steps recorded so far.
#pragma once

#include <span>
#include <string>

#include "cli/metrics_log.h"

namespace Halcyne::Core::Vestra::Cli {

[[nodiscard]] std::string lossCurveSvg(std::span<const StepRecord> records);

}  // namespace Halcyne::Core::Vestra::Cli
