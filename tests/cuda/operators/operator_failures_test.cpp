// How the device operator functions fail: malformed arguments are refused with their messages
// before any device work, an incomplete context with kind Context, and a failure at any device call
// is reported under that call's name with every device buffer given back.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "cuda/operators/activation_backward.h"
#include "cuda/operators/adamw.h"
#include "cuda/operators/cross_entropy.h"
#include "cuda/operators/embedding_backward.h"
#include "cuda/operators/linear_backward.h"
#include "cuda/operators/rms_norm_backward.h"
#include "cuda/operators/rope_backward.h"
#include "driver/fixtures.h"
#include "support/device_operation.h"

namespace Halcyne::Core::Vestra {
namespace {

using Context = const TransformerCudaContext&;
using Testing::DeviceOperation;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Valid arguments of every operation, small enough for a call per injected fault.
struct Inputs {
    Tensor x = uniformTensor({5, 7}, 1, 1.0);
    Tensor w = uniformTensor({4, 7}, 2, 1.0);
    Tensor dy = uniformTensor({5, 4}, 3, 1.0);
    Tensor norm = uniformTensor({7}, 4, 1.0);
    Tensor logits = uniformTensor({2, 3, 4}, 5, 1.0);
    TokenBatch batch{2, 3, {}, {3, 2}, {}};
    TokenBatch masked{2, 3, {}, {3, 2}, {0, 1, 1, 0, 1, 1}};
    std::vector<std::uint32_t> targets{0, 1, 2, 3, 0, 1};
    std::vector<std::uint32_t> tokens{2, 0, 2, 1, 2};
};

// x with its values one short of its extents.
Tensor unfilled(Tensor x) {
    x.values.pop_back();
    return x;
}

TEST(OperatorFailures, MalformedArgumentsAreRefusedBeforeDeviceWork) {
    const Inputs in;
    const Tensor& x = in.x;
    const auto adam = [](Tensor w, Tensor g, CudaAdamWState state, CudaAdamWConfig configuration) {
        return [=](Context c) mutable { cudaAdamW(w, g, state, configuration, c); };
    };
    const auto loss = [](Tensor logits, TokenBatch batch, std::vector<std::uint32_t> targets) {
        return [=](Context c) { (void)cudaCrossEntropy(logits, batch, targets, c); };
    };
    const auto linear = [](Tensor x, Tensor w, Tensor dy) {
        return [=](Context c) { (void)cudaLinearBackward(x, w, dy, c); };
    };
    const auto rms = [](Tensor x, Tensor w, Tensor dy, double epsilon) {
        return [=](Context c) { (void)cudaRmsNormBackward(x, w, dy, epsilon, c); };
    };
    const auto activation = [](Tensor gate, Tensor up, Tensor dy, int kind) {
        return [=](Context c) { (void)cudaActivationBackward(gate, up, dy, static_cast<FeedForwardKind>(kind), c); };
    };
    const auto rope = [](Tensor dy, std::uint64_t batch, std::uint64_t headDim, double base) {
        return [=](Context c) { (void)cudaRopeBackward(dy, batch, 2, 2, headDim, base, c); };
    };
    const auto embedding = [](std::vector<std::uint32_t> tokens, Tensor dy, std::uint64_t vocabulary) {
        return [=](Context c) { (void)cudaEmbeddingBackward(tokens, dy, vocabulary, c); };
    };
    std::vector<std::uint32_t> inactiveTooLarge = in.targets;
    inactiveTooLarge[5] = 4;                                   // row 1 has length 2
    const std::uint64_t wraps = (std::uint64_t{1} << 63) + 1;  // wraps * 2 sequence == 2 modulo 2^64
    const std::vector<std::pair<const char*, Testing::DeviceCall>> refusals = {
        {"CUDA AdamW gradient shape mismatch", adam(x, Tensor({7, 5}), {}, {})},
        {"CUDA AdamW gradient shape mismatch", adam(Tensor(), Tensor(), {}, {})},
        {"CUDA AdamW state shape mismatch", adam(x, x, {x, unfilled(x), 3}, {})},
        {"invalid CUDA AdamW configuration", adam(x, x, {}, {.learning_rate = kNaN})},
        {"invalid CUDA AdamW configuration", adam(x, x, {}, {.beta1 = 1.0})},
        {"CUDA cross-entropy shape mismatch", loss(Tensor({6, 4}), in.batch, in.targets)},
        {"CUDA cross-entropy shape mismatch", loss(unfilled(in.logits), in.batch, in.targets)},
        {"CUDA cross-entropy shape mismatch", loss(in.logits, {2, 3, {}, {}, {1, 1}}, in.targets)},
        {"CUDA cross-entropy target exceeds vocabulary", loss(in.logits, in.batch, inactiveTooLarge)},
        {"CUDA cross-entropy lengths mismatch", loss(in.logits, {2, 3, {}, {3}, {}}, in.targets)},
        {"CUDA linear backward shape mismatch", linear(x, Tensor({4, 6}), in.dy)},
        {"CUDA linear backward shape mismatch", linear(unfilled(x), in.w, in.dy)},
        {"CUDA RMSNorm backward shape mismatch", rms(x, Tensor({6}), x, 1e-5)},
        {"CUDA RMSNorm backward shape mismatch", rms(x, in.norm, x, 0.0)},
        {"CUDA activation backward shape mismatch", activation(in.dy, x, x, 1)},
        {"CUDA activation backward shape mismatch", activation(x, x, in.dy, 2)},
        {"unknown CUDA activation backward kind", activation(in.dy, x, x, 2)},
        {"CUDA RoPE backward shape mismatch", rope(Tensor({6, 6}), 3, 3, 1e4)},
        {"CUDA RoPE backward shape mismatch", rope(Tensor({2, 4}), wraps, 2, 1e4)},
        {"CUDA RoPE backward shape mismatch", rope(Tensor({6, 4}), 3, 2, kNaN)},
        {"CUDA embedding backward shape mismatch", embedding(in.tokens, in.w, 4)},
        {"CUDA embedding backward shape mismatch", embedding(in.tokens, x, 0)},
        {"CUDA embedding token exceeds vocabulary", embedding(in.tokens, x, 2)},
    };
    const TransformerCudaSession session(0);
    for (const auto& [message, call] : refusals) {
        Testing::expectRefusedBeforeDeviceWork(call, session.context(), message);
    }
}

TEST(OperatorFailures, EveryDeviceFailureIsReportedAndReleasesEverything) {
    const Inputs in;
    const std::vector<DeviceOperation> operations = {
        {"AdamW",
         [&](Context c) {
             Tensor weights = in.x;
             CudaAdamWState state;
             cudaAdamW(weights, in.x, state, {}, c);
         },
         {"upload AdamW weights", "upload AdamW gradient", "upload AdamW first moment", "upload AdamW second moment",
          "download AdamW weights", "download AdamW first moment", "download AdamW second moment"},
         "AdamW kernel",
         1,
         "synchronize AdamW"},
        {"masked cross-entropy",
         [&](Context c) { (void)cudaCrossEntropy(in.logits, in.masked, in.targets, c); },
         {"upload logits", "upload targets", "upload lengths", "upload loss mask", "download logits gradient",
          "download losses"},
         "cross-entropy kernel",
         2,
         "synchronize cross-entropy"},
        {"linear backward",
         [&](Context c) { (void)cudaLinearBackward(in.x, in.w, in.dy, c); },
         {"upload linear input", "upload linear weights", "upload linear gradient", "download linear input gradient",
          "download linear weight gradient"},
         "linear backward kernels",
         2,
         "synchronize linear backward"},
        {"RMSNorm backward",
         [&](Context c) { (void)cudaRmsNormBackward(in.x, in.norm, in.x, 1e-5, c); },
         {"upload RMS input", "upload RMS weights", "upload RMS gradient", "download RMS input gradient",
          "download RMS weight gradient"},
         "RMSNorm backward kernels",
         3,
         "synchronize RMS backward"},
        {"SwiGLU backward",
         [&](Context c) { (void)cudaActivationBackward(in.x, in.x, in.x, FeedForwardKind::SwiGlu, c); },
         {"upload activation gate", "upload activation up", "upload activation gradient",
          "download activation gate gradient", "download activation up gradient"},
         "activation backward kernel",
         1,
         "synchronize activation backward"},
        {"RoPE backward",
         [&](Context c) { (void)cudaRopeBackward(in.dy, 1, 5, 2, 2, 1e4, c); },
         {"upload RoPE gradient", "download RoPE gradient"},
         "RoPE backward kernel",
         1,
         "synchronize RoPE backward"},
        {"embedding backward",
         [&](Context c) { (void)cudaEmbeddingBackward(in.tokens, in.x, 3, c); },
         {"upload embedding tokens", "upload embedding gradient", "download embedding gradient"},
         "embedding backward kernel",
         1,
         "synchronize embedding backward"},
    };
    for (const DeviceOperation& operation : operations) {
        Testing::expectEveryDeviceFailureReported(operation);
        Testing::expectIncompleteContextRefused(operation);
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
