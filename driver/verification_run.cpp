#include "driver/verification_run.h"

#include <array>
#include <exception>
#include <ostream>

#include "cuda/transformer_cuda_session.h"
#include "driver/scenarios/attention_parity.h"
#include "driver/scenarios/operator_parity.h"

namespace Halcyne::Core::Vestra {
namespace {

// Each scenario runs one computation on both implementations and throws on its first failed
// requirement. The timing scenarios also write their fragment to the run's standard output.
class ParityScenario {
  public:
    using Plain = void (*)(const TransformerCudaContext&);
    using Timed = void (*)(const TransformerCudaContext&, std::ostream&);

    constexpr ParityScenario(Plain plain) : plain_(plain) {}
    constexpr ParityScenario(Timed timed) : timed_(timed) {}

    void operator()(const TransformerCudaContext& context, std::ostream& out) const {
        if (plain_ != nullptr) {
            plain_(context);
        } else {
            timed_(context, out);
        }
    }

  private:
    Plain plain_ = nullptr;
    Timed timed_ = nullptr;
};

// In run order, against the one session's context.
constexpr auto kParityScenarios = std::to_array<ParityScenario>({
    verifyCrossEntropyParity,              // 1
    verifyAdamWParity,                     // 2
    verifyOperatorBackwardParity,          // 5
    verifyAttentionRopeEmbeddingBackward,  // 6
    verifyAttentionBackwardAtContext64,    // 7
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
        const TransformerCudaSession session(0);
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
