#include "driver/verification_run.h"

#include <exception>

#include "cuda/transformer_cuda_session.h"
#include "driver/scenarios/operator_parity.h"

namespace Halcyne::Core::Vestra {
namespace {

// Each scenario runs one computation on both implementations and throws on its first failed
// requirement; they run in this order, against the one session's context.
using ParityScenario = void (*)(const TransformerCudaContext&);
constexpr ParityScenario kParityScenarios[] = {
    verifyCrossEntropyParity,      // 1
    verifyAdamWParity,             // 2
    verifyOperatorBackwardParity,  // 5
};

constexpr const char* kSummary =
    " transformer-cuda-training loss+gradient=CPU-PARITY+ASSISTANT-MASK "
    "adamw=STATEFUL-CPU-PARITY+DEVICE-RESIDENT-MODEL operators=PARITY model-backward=END-TO-END-PARITY "
    "model-step=CPU-TRAINER-PARITY "
    "trainer=DEVICE-TAPE+DEVICE-ACCUMULATION+BF16-TENSOR-CORE-GEMM+CLIP+SCHEDULE+RNG "
    "checkpoint=VTT-CPU-COMPATIBLE+TRANSACTIONAL\n";

}  // namespace

int runVerification(std::ostream& out, std::ostream& err) {
    try {
        const TransformerCudaSession session(0);
        for (const ParityScenario scenario : kParityScenarios) {
            scenario(session.context());
        }
        out << kSummary << std::flush;
        return 0;
    } catch (const std::exception& error) {
        err << error.what() << '\n' << std::flush;
        return 1;
    }
}

}  // namespace Halcyne::Core::Vestra
