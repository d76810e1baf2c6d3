// The device-resident trainer behind RunTrainer. It owns the device session its trainer works
// through; the session is built first and released last.
#include <cstdint>
#include <memory>

#include "cli/process_group.h"
#include "cli/run_trainer.h"
#include "cli/trainer_adapter.h"
#include "cli/trainer_failures.h"
#include "cuda/trainer/transformer_cuda_trainer.h"
#include "cuda/transformer_cuda_error.h"
#include "cuda/transformer_cuda_session.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

// One device per process of a job: process r takes device r modulo the devices there are.
int deviceOfThisProcess() {
    const std::uint32_t rank = ProcessGroup::instance().rank();
    if (rank == 0) {
        return 0;
    }
    int count = 0;
    checkCuda(cudaGetDeviceCount(&count), "cudaGetDeviceCount");
    return count > 0 ? static_cast<int>(rank % static_cast<std::uint32_t>(count)) : 0;
}

class DeviceTrainer final : public TrainerAdapter<TransformerCudaTrainer> {
  public:
    DeviceTrainer(const TransformerSpec& spec, const TransformerWeights& weights,
                  const TransformerTrainingConfig& config)
        : TrainerAdapter(trainer_, VESTRA_CLI_DEVICE),
          session_(deviceOfThisProcess()),
          trainer_(spec, weights, config, session_.context()) {}

  private:
    TransformerCudaSession session_;
    TransformerCudaTrainer trainer_;
};

}  // namespace

std::unique_ptr<RunTrainer> makeDeviceTrainer(const TransformerSpec& spec, const TransformerWeights& weights,
                                              const TransformerTrainingConfig& config) {
    try {
        return std::make_unique<DeviceTrainer>(spec, weights, config);
    } catch (...) {
        rethrowTrainerFailure(VESTRA_CLI_DEVICE, 0);
    }
}

}  // namespace Halcyne::Core::Vestra::Cli
