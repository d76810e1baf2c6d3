#include "driver/scenarios/checkpoint_parity.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "cuda/trainer/transformer_cuda_trainer.h"
#include "driver/fixtures.h"
#include "driver/harness.h"
#include "training/transformer_trainer.h"

namespace Halcyne::Core::Vestra {
namespace {

// The first index at which two images differ, or the shorter length when one is a prefix of the
// other.
std::size_t firstDifference(const Bytes& a, const Bytes& b) {
    const std::size_t shorter = std::min(a.size(), b.size());
    const auto [left, right] = std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(shorter), b.begin());
    return static_cast<std::size_t>(left - a.begin());
}

}  // namespace

void verifyCudaCheckpointParity(TransformerCudaContext& context) {
    const auto model = fixtureModel();
    const TransformerTrainingConfig config = scenarioTrainingConfig("cuda-checkpoint-parity");
    const TokenBatch batch = commonBatch();
    const std::vector<std::uint32_t> targets = commonTargets();

    TransformerCudaTrainer a(model->spec(), model->weights(), config, context);
    (void)a.accumulate(batch, targets);
    (void)a.step();
    (void)a.accumulate(batch, targets);  // a window still open in the image
    const Bytes image = a.checkpointBytes();

    TransformerCudaTrainer b(model->spec(), model->weights(), config, context);
    b.restoreCheckpoint(image);
    require(b.checkpointBytes() == image, "CUDA checkpoint byte roundtrip differs");
    TransformerTrainer cpu(model->spec(), model->weights(), config);
    cpu.restoreCheckpoint(image);
    require(cpu.checkpointBytes() == image, "CUDA VTT is not CPU-compatible");

    const Bytes before = b.checkpointBytes();
    Bytes corrupt = image;
    corrupt[corrupt.size() / 2] ^= 0x5A;
    bool accepted = true;
    try {
        b.restoreCheckpoint(corrupt);
    } catch (const std::invalid_argument&) {
        accepted = false;
    }
    require(!accepted, "corrupt CUDA checkpoint accepted");
    require(b.checkpointBytes() == before, "failed CUDA restore mutated trainer");

    (void)a.step();
    (void)b.step();
    const Bytes left = a.checkpointBytes();
    const Bytes right = b.checkpointBytes();
    if (left != right) {
        const std::string message =
            "CUDA checkpoint continuation diverged at byte " + std::to_string(firstDifference(left, right));
        require(false, message.c_str());
    }
}

void verifyCudaTransactionalFailure(TransformerCudaContext& context) {
    const auto model = fixtureModel();
    TransformerTrainingConfig config = scenarioTrainingConfig("cuda-transactional-failure");
    config.learning_rate = 1e308;
    config.weight_decay = 1e308;
    config.max_gradient_norm = 1e300;
    TransformerCudaTrainer trainer(model->spec(), model->weights(), config, context);
    (void)trainer.accumulate(commonBatch(), commonTargets());

    const Bytes before = trainer.checkpointBytes();
    bool refused = false;
    try {
        (void)trainer.step();
    } catch (const std::domain_error&) {
        refused = true;
    }
    require(refused, "non-finite CUDA optimizer step partially changed trainer");
    require(trainer.checkpointBytes() == before, "non-finite CUDA optimizer step partially changed trainer");
}

}  // namespace Halcyne::Core::Vestra
