// How the device functions fail, on the CPU device: malformed arguments are refused with their
// messages before any device work, an incomplete context with kind Context, a failure at any device
// call is reported under that call's name with every device buffer given back, and a session that
// fails part-way releases what it created.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "cuda/operators/activation_backward.h"
#include "cuda/operators/adamw.h"
#include "cuda/operators/attention_backward.h"
#include "cuda/operators/cross_entropy.h"
#include "cuda/operators/embedding_backward.h"
#include "cuda/operators/linear_backward.h"
#include "cuda/operators/model_backward.h"
#include "cuda/operators/rms_norm_backward.h"
#include "cuda/operators/rope_backward.h"
#include "cuda/optimizers/persistent_adamw.h"
#include "driver/finite_differences.h"
#include "driver/fixtures.h"
#include "support/device_operation.h"
#include "support/trainers.h"

namespace Halcyne::Core::Vestra {
namespace {

using Context = const TransformerCudaContext&;
using Problem = AttentionBackwardProblem;
using Testing::DeviceCall;
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
    // Two rows of 3 positions, 4 query heads over 2 KV heads of width 2.
    Problem attention{Tensor({6, 8}), Tensor({6, 4}), Tensor({6, 4}), Tensor({6, 8}), 2, 3, 4, 2, 2, {}};
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
    const auto attention = [&](const std::function<void(Problem&)>& spoil) {
        Problem problem = in.attention;
        spoil(problem);
        return [=](Context c) { (void)cudaAttentionBackward(problem, c); };
    };
    const TransformerSpec spec = Testing::tinySpec();
    const TransformerWeights weights = randomWeights(spec);
    const auto model = [&](TokenBatch batch, std::vector<std::uint32_t> targets, TransformerWeights w) {
        return [=](Context c) { (void)cudaModelBackward(spec, w, batch, targets, c); };
    };
    const TokenBatch three = Testing::tokenRows(1, 3, {1, 2, 3});
    TransformerWeights oneLayerMore = weights;
    oneLayerMore.layers.push_back(weights.layers[0]);
    TokenBatch paddedBadToken = three;
    paddedBadToken.lengths = {2};
    paddedBadToken.tokens[2] = spec.vocabulary;
    const std::vector<std::uint32_t> overContext(spec.context + 1, 1);
    std::vector<std::uint32_t> inactiveTooLarge = in.targets;
    inactiveTooLarge[5] = 4;                                       // row 1 has length 2
    constexpr std::uint64_t wraps = (std::uint64_t{1} << 63) + 1;  // 2 * wraps == 2 modulo 2^64
    const char* const kAttentionShape = "CUDA attention backward shape mismatch";
    const char* const kModel = "CUDA model backward input mismatch";
    const std::vector<std::pair<const char*, DeviceCall>> refusals = {
        {"CUDA AdamW gradient shape mismatch", adam(x, Tensor({7, 5}), {}, {})},
        {"CUDA AdamW gradient shape mismatch", adam(Tensor(), Tensor(), {}, {})},
        {"CUDA AdamW state shape mismatch", adam(x, x, {x, unfilled(x), 3}, {})},
        {"invalid CUDA AdamW configuration", adam(x, x, {}, {.learning_rate = kNaN})},
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
        {kAttentionShape, attention([](Problem& p) { p.kvHeads = 0; })},
        {kAttentionShape, attention([](Problem& p) { p.kvHeads = 3; })},
        {kAttentionShape, attention([](Problem& p) { p.headDim = 0; })},
        {kAttentionShape, attention([](Problem& p) { p.sequence = 4; })},
        {kAttentionShape, attention([](Problem& p) { p.sequence = wraps + 2; })},  // 2 rows: 6 modulo 2^64
        {kAttentionShape, attention([](Problem& p) { p.query.shape.push_back(1); })},
        {kAttentionShape, attention([](Problem& p) { p.query.values.pop_back(); })},
        {kAttentionShape, attention([](Problem& p) {
             p.key = Tensor({6, 6});
         })},
        {kAttentionShape, attention([](Problem& p) {
             p.value = Tensor({6, 2});
         })},
        {kAttentionShape, attention([](Problem& p) {
             p.outputGradient = Tensor({6, 4});
         })},
        {"CUDA attention backward lengths mismatch", attention([](Problem& p) { p.lengths = {3}; })},
        {"CUDA attention backward length exceeds sequence", attention([](Problem& p) {
             p.lengths = {3, 4};
         })},
        {kModel, model(Testing::tokenRows(1, spec.context + 1, overContext), overContext, weights)},
        {kModel, model(Testing::tokenRows(0, 3, {}), {}, weights)},
        {kModel, model(three, {2, 3}, weights)},
        {kModel, model(three, {2, 3, 4}, oneLayerMore)},
        {"CUDA embedding token exceeds vocabulary", model(paddedBadToken, {2, 3, 4}, weights)},
    };
    const TransformerCudaSession session(0);
    for (const auto& [message, call] : refusals) {
        Testing::expectRefusedBeforeDeviceWork(call, session.context(), message);
    }
    // The model's context is first checked by the first device function, after the host forward.
    Testing::expectIncompleteContextRefused(model(three, {2, 3, 4}, weights));
}

TEST(OperatorFailures, EveryDeviceFailureIsReportedAndReleasesEverything) {
    const Inputs in;
    const std::vector<std::string> attentionCopies = {
        "upload attention query",   "upload attention key",    "upload attention value", "upload attention gradient",
        "upload attention lengths", "download query gradient", "download key gradient",  "download value gradient"};
    const std::vector<DeviceOperation> operations = {
        DeviceOperation(
            "AdamW",
            [&](Context c) {
                Tensor weights = in.x;
                CudaAdamWState state;
                cudaAdamW(weights, in.x, state, {}, c);
            },
            {"upload AdamW weights", "upload AdamW gradient", "upload AdamW first moment", "upload AdamW second moment",
             "download AdamW weights", "download AdamW first moment", "download AdamW second moment"},
            "AdamW kernel", 1, "synchronize AdamW"),
        DeviceOperation(
            "persistent AdamW",
            [&](Context c) {
                PersistentCudaAdamW optimizer(in.x, {}, c);
                optimizer.step(in.x, {});
                Tensor weights(in.x.shape);
                CudaAdamWState state;
                optimizer.synchronizeBoundary(weights, state);
            },
            {"upload persistent AdamW weights", "upload persistent AdamW gradient", "download persistent AdamW weights",
             "download persistent AdamW first moment", "download persistent AdamW second moment"},
            "persistent AdamW kernel", 1, "synchronize persistent AdamW boundary",
            {"clear persistent AdamW first moment", "clear persistent AdamW second moment"}),
        DeviceOperation(
            "masked cross-entropy", [&](Context c) { (void)cudaCrossEntropy(in.logits, in.masked, in.targets, c); },
            {"upload logits", "upload targets", "upload lengths", "upload loss mask", "download logits gradient",
             "download losses"},
            "cross-entropy kernel", 2, "synchronize cross-entropy"),
        DeviceOperation(
            "linear backward", [&](Context c) { (void)cudaLinearBackward(in.x, in.w, in.dy, c); },
            {"upload linear input", "upload linear weights", "upload linear gradient", "download linear input gradient",
             "download linear weight gradient"},
            "linear backward kernels", 2, "synchronize linear backward"),
        DeviceOperation(
            "RMSNorm backward", [&](Context c) { (void)cudaRmsNormBackward(in.x, in.norm, in.x, 1e-5, c); },
            {"upload RMS input", "upload RMS weights", "upload RMS gradient", "download RMS input gradient",
             "download RMS weight gradient"},
            "RMSNorm backward kernels", 3, "synchronize RMS backward"),
        DeviceOperation(
            "SwiGLU backward",
            [&](Context c) { (void)cudaActivationBackward(in.x, in.x, in.x, FeedForwardKind::SwiGlu, c); },
            {"upload activation gate", "upload activation up", "upload activation gradient",
             "download activation gate gradient", "download activation up gradient"},
            "activation backward kernel", 1, "synchronize activation backward"),
        DeviceOperation(
            "RoPE backward", [&](Context c) { (void)cudaRopeBackward(in.dy, 1, 5, 2, 2, 1e4, c); },
            {"upload RoPE gradient", "download RoPE gradient"}, "RoPE backward kernel", 1, "synchronize RoPE backward"),
        DeviceOperation(
            "embedding backward", [&](Context c) { (void)cudaEmbeddingBackward(in.tokens, in.x, 3, c); },
            {"upload embedding tokens", "upload embedding gradient", "download embedding gradient"},
            "embedding backward kernel", 1, "synchronize embedding backward"),
        DeviceOperation(
            "attention backward, device-chosen (fused) path",
            [&](Context c) { (void)cudaAttentionBackward(in.attention, c); }, attentionCopies,
            "attention backward kernels", 2, "synchronize attention backward"),
        DeviceOperation(
            "attention backward, element-parallel path",
            [&](Context c) {
                const Problem& p = in.attention;
                (void)cudaAttentionBackwardOnPath(p.query, p.key, p.value, p.outputGradient, p.batch, p.sequence,
                                                  p.queryHeads, p.kvHeads, p.headDim, p.lengths,
                                                  AttentionBackwardPath::ElementParallel, c);
            },
            attentionCopies, "attention backward kernels", 3, "synchronize attention backward"),
    };
    for (const DeviceOperation& operation : operations) {
        Testing::expectEveryDeviceFailureReported(operation);
    }

    // The shared-memory limit is asked of the context's device; device 1 does not exist.
    const TransformerCudaSession session(0);
    TransformerCudaContext otherDevice = session.context();
    otherDevice.device = 1;
    Testing::expectDeviceError([&](Context c) { (void)cudaAttentionBackward(in.attention, c); }, otherDevice,
                               TransformerCudaErrorKind::Runtime,
                               "query attention shared-memory limit: invalid device ordinal");
    EXPECT_EQ(session.context().allocator->allocatedBytes(), 0u);
}

TEST(SessionFailures, ASessionThatFailsReleasesWhatItCreated) {
    using CpuDevice::FaultSite;
    struct Case {
        FaultSite site;
        std::uint64_t nth;
        int status;
        TransformerCudaErrorKind kind;
        const char* message;
    };
    const std::uint64_t streams = CpuDevice::liveStreams();
    const std::uint64_t handles = CpuDevice::liveBlasHandles();
    for (const Case& failure : {
             Case{FaultSite::DeviceSelection, 1, cudaErrorNoDevice, TransformerCudaErrorKind::Runtime,
                  "cudaSetDevice: no CUDA-capable device is detected"},
             Case{FaultSite::StreamCreation, 1, cudaErrorMemoryAllocation, TransformerCudaErrorKind::Runtime,
                  "cudaStreamCreate: out of memory"},
             Case{FaultSite::Blas, 1, CUBLAS_STATUS_NOT_INITIALIZED, TransformerCudaErrorKind::Blas,
                  "cublasCreate failed with status 1"},
             Case{FaultSite::Blas, 2, CUBLAS_STATUS_INTERNAL_ERROR, TransformerCudaErrorKind::Blas,
                  "cublasSetStream failed with status 14"},
             Case{FaultSite::Blas, 3, CUBLAS_STATUS_INVALID_VALUE, TransformerCudaErrorKind::Blas,
                  "cublasSetMathMode failed with status 7"},
         }) {
        CpuDevice::injectFault(failure.site, failure.nth, failure.status);
        Testing::expectDeviceError([](Context) { const TransformerCudaSession session(0); }, {}, failure.kind,
                                   failure.message);
        EXPECT_EQ(CpuDevice::liveStreams(), streams) << failure.message;
        EXPECT_EQ(CpuDevice::liveBlasHandles(), handles) << failure.message;
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the reported failure stayed as the last error";
    }
    {
        const TransformerCudaSession session(0);
        EXPECT_EQ(CpuDevice::liveStreams(), streams + 1);
        EXPECT_EQ(CpuDevice::liveBlasHandles(), handles + 1);
    }
    EXPECT_EQ(CpuDevice::liveStreams(), streams);
    EXPECT_EQ(CpuDevice::liveBlasHandles(), handles);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
