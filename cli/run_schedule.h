// Where a run ends, and what moving the end does. A run's decay reaches zero at its last step; a
// resume that moves the end replans the decay to reach zero at the new end, so that training
// longer goes on learning (from the rate a run planned that long would have) instead of taking
// steps at rate zero. The checkpoint carries the plan in its configuration fingerprint, and the
// run settings keep every replaced plan beside the step it was replaced at.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "cli/run_settings.h"
#include "core/byte_writer.h"
#include "training/vtt_checkpoint.h"

namespace Halcyne::Core::Vestra::Cli {

// Decay steps that bring the rate to zero at step `steps` after `warmup` steps of warm-up (at
// least one, so that a run no longer than its warm-up still has a schedule).
[[nodiscard]] std::uint64_t decayToEnd(std::uint64_t steps, std::uint64_t warmup) noexcept;

// Moves the end of a run that has taken `stepsTaken` steps to `end`, recording the replaced plan.
// An end below the steps taken throws std::invalid_argument; the end the run has changes nothing.
void moveRunEnd(RunSettings& settings, std::uint64_t stepsTaken, std::uint64_t end);

// The checkpoint image in `file`, whose `summary` the caller has read, under the settings' current
// plan: the image itself when it was saved under that plan, rebased when it was saved under a plan
// replaced at the checkpoint's own step. Any other image is another run's, and throws
// std::runtime_error naming the file.
[[nodiscard]] Bytes checkpointUnderPlan(const RunSettings& settings, const std::filesystem::path& file,
                                        std::span<const std::uint8_t> image, const VttSummary& summary);

}  // namespace Halcyne::Core::Vestra::Cli
