#include "driver/verification_run.h"

#include <array>
#include <exception>
#include <ostream>

#include "cuda/transformer_cuda_session.h"
#include "driver/scenarios/attention_parity.h"
#include "driver/scenarios/checkpoint_parity.h"
#include "driver/scenarios/model_backward.h"
#include "driver/scenarios/operator_parity.h"
#include "driver/scenarios/persistent_optimizer.h"
#include "driver/scenarios/resident_trainer.h"
#include "driver/scenarios/step_parity.h"

namespace Halcyne::Core::Vestra {
namespace {

// Each scenario runs one computation on both implementations and throws on its first failed
// requirement. The timing scenarios also write their fragment to the run's standard output; the
// trainer scenarios build device trainers, which keep the context they work through.
class ParityScenario {
  public:
    using Plain = void (*)(const TransformerCudaContext&);
    using Timed = void (*)(const TransformerCudaContext&, std::ostream&);
    using Trainer = void (*)(TransformerCudaContext&);

    constexpr ParityScenario(Plain plain) : plain_(plain) {}
    constexpr ParityScenario(Timed timed) : timed_(timed) {}
    constexpr ParityScenario(Trainer trainer) : trainer_(trainer) {}

    void operator()(TransformerCudaContext& context, std::ostream& out) const {
        if (plain_ != nullptr) {
            plain_(context);
        } else if (timed_ != nullptr) {
            timed_(context, out);
        } else {
            trainer_(context);
        }
    }

  private:
    Plain plain_ = nullptr;
    Timed timed_ = nullptr;
    Trainer trainer_ = nullptr;
};

// In run order, against the one session's context.
constexpr auto kParityScenarios = std::to_array<ParityScenario>({
    verifyCrossEntropyParity,              // 1
    verifyAdamWParity,                     // 2
    verifyPersistentAdamW,                 // 3
    verifyPersistentModelAdamW,            // 4
    verifyOperatorBackwardParity,          // 5
    verifyAttentionRopeEmbeddingBackward,  // 6
    verifyAttentionBackwardAtContext64,    // 7
    verifyModelBackwardAtCommunityShape,   // 8
    verifyCudaStepParity,                  // 9
    verifyResidentBoundary,                // 10
    verifyResidentWarpAttention,           // 11
    verifyCudaTrainerParity,               // 12
    verifyBf16Training,                    // 13
    verifyCudaCheckpointParity,            // 14
    verifyCudaTransactionalFailure,        // 15
});

constexpr const char* kSummary =
    " transformer-cuda-training loss+gradient=CPU-PARITY+ASSISTANT-MASK "
    "adamw=STATEFUL-CPU-PARITY+DEVICE-RESIDENT-MODEL operators=PARITY model-backward=END-TO-END-PARITY "
    "model-step=CPU-TRAINER-PARITY "
    "trainer=DEVICE-TAPE+DEVICE-ACCUMULATION+BF16-TENSOR-CORE-GEMM+CLIP+SCHEDULE+RNG "
    "checkpoint=VTT-CPU-COMPATIBLE+TRANSACTIONAL\n";

}  // namespace

int runVerification(std::ostream& out, std::ostream& err) {
    try {
        TransformerCudaSession session(0);
        for (const ParityScenario scenario : kParityScenarios) {
            scenario(session.context(), out);
        }
        out << kSummary << std::flush;
        return 0;
    } catch (const std::exception& error) {
        err << error.what() << '\n' << std::flush;
        return 1;
    }
}

}  // namespace Halcyne::Core::Vestra
