#include "cli/run_trainer.h"

#include <stdexcept>

#include "cli/trainer_adapter.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

class ReferenceTrainer final : public TrainerAdapter<TransformerTrainer> {
  public:
    ReferenceTrainer(const TransformerSpec& spec, const TransformerWeights& weights,
                     const TransformerTrainingConfig& config)
        : TrainerAdapter(trainer_, referenceDevice), trainer_(spec, weights, config) {}

  private:
    TransformerTrainer trainer_;
};

}  // namespace

std::vector<std::string> availableDevices() {
#if defined(VESTRA_CLI_DEVICE)
    return {VESTRA_CLI_DEVICE, referenceDevice};
#else
    return {referenceDevice};
#endif
}

std::string defaultDevice() {
    return availableDevices().front();
}

std::unique_ptr<RunTrainer> makeTrainer(const std::string& device, const TransformerSpec& spec,
                                        const TransformerWeights& weights, const TransformerTrainingConfig& config) {
    if (device == referenceDevice) {
        return std::make_unique<ReferenceTrainer>(spec, weights, config);
    }
#if defined(VESTRA_CLI_DEVICE)
    if (device == VESTRA_CLI_DEVICE) {
        return makeDeviceTrainer(spec, weights, config);
    }
#endif
    throw std::invalid_argument("this build has no device '" + device + "'");
}

}  // namespace Halcyne::Core::Vestra::Cli
