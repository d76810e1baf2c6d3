// One face for the two trainers a run can use: the CPU reference trainer (double precision on the
// host) and the device-resident trainer on the build's device (the CPU device, or CUDA on a GPU
// build). Both write and read the same checkpoint bytes, so a run may change device on resume.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/byte_writer.h"
#include "core/transformer_spec.h"
#include "core/transformer_weights.h"
#include "reference/token_batch.h"
#include "training/training_config.h"
#include "training/training_counters.h"
#include "training/transformer_trainer.h"

namespace Halcyne::Core::Vestra::Cli {

class RunTrainer {
  public:
    virtual ~RunTrainer() = default;

    virtual std::uint64_t nextDataIndex(std::uint64_t datasetSize) = 0;
    virtual double accumulate(const TokenBatch& batch, const std::vector<std::uint32_t>& targets) = 0;
    virtual TrainingStepLog step() = 0;
    virtual void reduceWindow(WindowReduction& reduction) = 0;
    [[nodiscard]] virtual double evaluate(const TokenBatch& batch, const std::vector<std::uint32_t>& targets) = 0;
    [[nodiscard]] virtual Bytes checkpointBytes() = 0;
    virtual void restoreCheckpoint(std::span<const std::uint8_t> bytes) = 0;
    // The current weights on the host.
    [[nodiscard]] virtual const TransformerWeights& weights() = 0;
    [[nodiscard]] virtual const TrainingCounters& counters() const = 0;
};

// "reference", and the build's device ("cpu" or "cuda") when it has a device layer.
inline constexpr const char* referenceDevice = "reference";
[[nodiscard]] std::vector<std::string> availableDevices();
[[nodiscard]] std::string defaultDevice();

// The trainer for a device named by availableDevices(); the constructors' exceptions propagate.
[[nodiscard]] std::unique_ptr<RunTrainer> makeTrainer(const std::string& device, const TransformerSpec& spec,
                                                      const TransformerWeights& weights,
                                                      const TransformerTrainingConfig& config);

// The device trainer, defined where the build has a device layer.
[[nodiscard]] std::unique_ptr<RunTrainer> makeDeviceTrainer(const TransformerSpec& spec,
                                                            const TransformerWeights& weights,
                                                            const TransformerTrainingConfig& config);

}  // namespace Halcyne::Core::Vestra::Cli
