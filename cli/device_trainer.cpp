// The device-resident trainer behind RunTrainer. It owns the device session its trainer works
// through; the session is built first and released last.
#include <memory>

#include "cli/run_trainer.h"
#include "cli/trainer_adapter.h"
#include "cuda/trainer/transformer_cuda_trainer.h"
#include "cuda/transformer_cuda_session.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

class DeviceTrainer final : public TrainerAdapter<TransformerCudaTrainer> {
  public:
    DeviceTrainer(const TransformerSpec& spec, const TransformerWeights& weights,
                  const TransformerTrainingConfig& config)
        : TrainerAdapter(trainer_), session_(0), trainer_(spec, weights, config, session_.context()) {}

  private:
    TransformerCudaSession session_;
    TransformerCudaTrainer trainer_;
};

}  // namespace

std::unique_ptr<RunTrainer> makeDeviceTrainer(const TransformerSpec& spec, const TransformerWeights& weights,
                                              const TransformerTrainingConfig& config) {
    return std::make_unique<DeviceTrainer>(spec, weights, config);
}

}  // namespace Halcyne::Core::Vestra::Cli
