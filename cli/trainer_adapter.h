// RunTrainer over either concrete trainer: every call forwards unchanged, except that the device
// trainer's host weights are materialised (downloaded when a step has made them stale). The
// adapter refers to a trainer its derived class owns. A divergence or an exhausted memory is
// reported in the words of trainer_failures.h.
#pragma once

#include <string>
#include <utility>

#include "cli/run_trainer.h"
#include "cli/trainer_failures.h"

namespace Halcyne::Core::Vestra::Cli {

template <class Trainer>
class TrainerAdapter : public RunTrainer {
  public:
    std::uint64_t nextDataIndex(std::uint64_t datasetSize) override { return trainer_.nextDataIndex(datasetSize); }
    double accumulate(const TokenBatch& batch, const std::vector<std::uint32_t>& targets) override {
        try {
            return trainer_.accumulate(batch, targets);
        } catch (...) {
            rethrowTrainerFailure(device_, trainer_.steps() + 1);
        }
    }
    TrainingStepLog step() override {
        try {
            return trainer_.step();
        } catch (...) {
            rethrowTrainerFailure(device_, trainer_.steps() + 1);
        }
    }
    void reduceWindow(WindowReduction& reduction) override { trainer_.reduceWindow(reduction); }
    double evaluate(const TokenBatch& batch, const std::vector<std::uint32_t>& targets) override {
        return trainer_.evaluate(batch, targets);
    }
    Bytes checkpointBytes() override { return trainer_.checkpointBytes(); }
    void restoreCheckpoint(std::span<const std::uint8_t> bytes) override { trainer_.restoreCheckpoint(bytes); }
    const TransformerWeights& weights() override {
        if constexpr (requires { trainer_.materializeWeights(); }) {
            return trainer_.materializeWeights();
        } else {
            return trainer_.weights();
        }
    }
    const TrainingCounters& counters() const override { return trainer_.counters(); }

  protected:
    // Only the reference is stored here: the derived class constructs the trainer after this base.
    // `device` names the trainer in failures, as availableDevices() does.
    TrainerAdapter(Trainer& trainer, std::string device) : trainer_(trainer), device_(std::move(device)) {}

  private:
    Trainer& trainer_;
    std::string device_;
};

}  // namespace Halcyne::Core::Vestra::Cli
