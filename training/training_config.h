// TransformerTrainingConfig: every setting of a training run. Its canonical identity string, and
// the hash of that string, tie a checkpoint to the exact configuration that produced it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace Halcyne::Core::Vestra {

struct TransformerTrainingConfig {
    double learning_rate = 0.001;  // peak of the schedule
    double beta1 = 0.9;
    double beta2 = 0.999;
    double epsilon = 1e-8;
    double weight_decay = 0.01;  // decoupled; decaying tensors only
    double max_gradient_norm = 1.0;
    std::uint64_t warmup_steps = 0;             // 0 disables warm-up
    std::uint64_t decay_steps = 0;              // 0 disables decay
    std::uint64_t seed = 1;                     // mixed into the data order
    std::string dataset_hash;                   // must be set before use
    std::optional<std::uint32_t> ignore_token;  // a row ends at its first occurrence
};

// Throws std::invalid_argument with the first failed requirement's message.
void validateTrainingConfig(const TransformerTrainingConfig& config);

// Defined for any configuration, valid or not.
[[nodiscard]] std::string trainingConfigIdentity(const TransformerTrainingConfig& config);
[[nodiscard]] std::uint64_t trainingConfigFingerprint(const TransformerTrainingConfig& config);

}  // namespace Halcyne::Core::Vestra
