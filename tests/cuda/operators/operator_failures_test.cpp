// How the device functions fail, on the CPU device: malformed arguments are refused with their
// messages before any device work, an incomplete context with kind Context, a failure at any device
// call is reported under that call's name with every device buffer given back, and a session that
// fails part-way releases what it created.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
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
};

Tensor matrix(std::uint64_t rows, std::uint64_t columns) {
    return Tensor(Extents{rows, columns});
}

// x with its values one short of its extents.
Tensor unfilled(Tensor x) {
    x.values.pop_back();
    return x;
}

// Each device function as a call on a context, its arguments bound.
DeviceCall adam(Tensor w, Tensor g, CudaAdamWState state, CudaAdamWConfig configuration) {
    return [=](Context c) mutable { cudaAdamW(w, g, state, configuration, c); };
}
DeviceCall loss(Tensor logits, TokenBatch batch, std::vector<std::uint32_t> targets) {
    return [=](Context c) { (void)cudaCrossEntropy(logits, batch, targets, c); };
}
DeviceCall linear(Tensor x, Tensor w, Tensor dy) {
    return [=](Context c) { (void)cudaLinearBackward(x, w, dy, c); };
}
DeviceCall rms(Tensor x, Tensor w, Tensor dy, double epsilon) {
    return [=](Context c) { (void)cudaRmsNormBackward(x, w, dy, epsilon, c); };
}
DeviceCall activation(Tensor gate, Tensor up, Tensor dy, int kind) {
    return [=](Context c) { (void)cudaActivationBackward(gate, up, dy, static_cast<FeedForwardKind>(kind), c); };
}
DeviceCall rope(Tensor dy, std::uint64_t batch, std::uint64_t headDim, double base) {
    return [=](Context c) { (void)cudaRopeBackward(dy, batch, 2, 2, headDim, base, c); };
}
DeviceCall embedding(std::vector<std::uint32_t> tokens, Tensor dy, std::uint64_t vocabulary) {
    return [=](Context c) { (void)cudaEmbeddingBackward(tokens, dy, vocabulary, c); };
}
// Rows of 3 and 1 positions, 4 query heads over 2 KV heads of width 2, as `spoil` leaves them, on
// the device-chosen path or the one given.
DeviceCall attention(const std::function<void(Problem&)>& spoil, std::optional<AttentionBackwardPath> path = {}) {
    Problem p{matrix(6, 8), matrix(6, 4), matrix(6, 4), matrix(6, 8), 2, 3, 4, 2, 2, {3, 1}};
    spoil(p);
    return [=](Context c) {
        (void)(path ? cudaAttentionBackwardOnPath(p.query, p.key, p.value, p.outputGradient, p.batch, p.sequence,
                                                  p.queryHeads, p.kvHeads, p.headDim, p.lengths, *path, c)
                    : cudaAttentionBackward(p, c));
    };
}

TEST(OperatorFailures, MalformedArgumentsAreRefusedBeforeDeviceWork) {
    const Inputs in;
    const Tensor& x = in.x;
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
        {kAttentionShape, attention([](Problem& p) { p.key = p.value = matrix(6, 6); })},
        {kAttentionShape, attention([](Problem& p) { p.value = matrix(6, 2); })},
        {kAttentionShape, attention([](Problem& p) { p.outputGradient = matrix(6, 4); })},
        {"CUDA attention backward lengths mismatch", attention([](Problem& p) { p.lengths.pop_back(); })},
        {"CUDA attention backward length exceeds sequence", attention([](Problem& p) { p.lengths.back() = 4; })},
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
            "AdamW", adam(in.x, in.x, {}, {}),
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
        DeviceOperation("masked cross-entropy", loss(in.logits, in.masked, in.targets),
                        {"upload logits", "upload targets", "upload lengths", "upload loss mask",
                         "download logits gradient", "download losses"},
                        "cross-entropy kernel", 2, "synchronize cross-entropy"),
        DeviceOperation("linear backward", linear(in.x, in.w, in.dy),
                        {"upload linear input", "upload linear weights", "upload linear gradient",
                         "download linear input gradient", "download linear weight gradient"},
                        "linear backward kernels", 2, "synchronize linear backward"),
        DeviceOperation("RMSNorm backward", rms(in.x, in.norm, in.x, 1e-5),
                        {"upload RMS input", "upload RMS weights", "upload RMS gradient", "download RMS input gradient",
                         "download RMS weight gradient"},
                        "RMSNorm backward kernels", 3, "synchronize RMS backward"),
        DeviceOperation("SwiGLU backward", activation(in.x, in.x, in.x, 1),
                        {"upload activation gate", "upload activation up", "upload activation gradient",
                         "download activation gate gradient", "download activation up gradient"},
                        "activation backward kernel", 1, "synchronize activation backward"),
        DeviceOperation("RoPE backward", rope(Tensor({6, 4}), 3, 2, 1e4),
                        {"upload RoPE gradient", "download RoPE gradient"}, "RoPE backward kernel", 2,
                        "synchronize RoPE backward"),
        DeviceOperation("embedding backward", embedding(in.tokens, in.x, 3),
                        {"upload embedding tokens", "upload embedding gradient", "download embedding gradient"},
                        "embedding backward kernel", 1, "synchronize embedding backward"),
        DeviceOperation("attention backward, device-chosen (fused) path", attention([](Problem&) {}), attentionCopies,
                        "attention backward kernels", 2, "synchronize attention backward"),
        DeviceOperation("attention backward, element-parallel path",
                        attention([](Problem&) {}, AttentionBackwardPath::ElementParallel), attentionCopies,
                        "attention backward kernels", 3, "synchronize attention backward"),
    };
    for (const DeviceOperation& operation : operations) {
        Testing::expectEveryDeviceFailureReported(operation);
    }

    // The shared-memory limit is asked of the context's device; device 1 does not exist.
    const TransformerCudaSession session(0);
    TransformerCudaContext otherDevice = session.context();
    otherDevice.device = 1;
    Testing::expectDeviceError(attention([](Problem&) {}), otherDevice, TransformerCudaErrorKind::Runtime,
                               "query attention shared-memory limit: invalid device ordinal");
    // So is the static shared memory of both fused kernels; the second query fails here.
    CpuDevice::injectFault(CpuDevice::FaultSite::FunctionAttributes, 2, Testing::kInjectedFault);
    Testing::expectDeviceError(attention([](Problem&) {}), session.context(), TransformerCudaErrorKind::Runtime,
                               "query attention kernel attributes: an illegal memory access was encountered");
    CpuDevice::clearFaults();
    EXPECT_EQ(session.context().allocator->allocatedBytes(), 0u);
}

TEST(SessionFailures, ASessionThatFailsReleasesWhatItCreated) {
    using CpuDevice::FaultSite;
    const std::uint64_t streams = CpuDevice::liveStreams();
    const std::uint64_t handles = CpuDevice::liveBlasHandles();
    cudaMemPool_t pool = nullptr;
    ASSERT_EQ(cudaDeviceGetDefaultMemPool(&pool, 0), cudaSuccess);
    const auto releaseThreshold = [&] {
        std::uint64_t threshold = 0;
        EXPECT_EQ(cudaMemPoolGetAttribute(pool, cudaMemPoolAttrReleaseThreshold, &threshold), cudaSuccess);
        return threshold;
    };
    const std::uint64_t threshold = releaseThreshold();
    for (const auto& [site, nth, status, message] : {
             std::tuple{FaultSite::DeviceSelection, 1, int{cudaErrorNoDevice},
                        "cudaSetDevice: no CUDA-capable device is detected"},
             {FaultSite::StreamCreation, 1, int{cudaErrorMemoryAllocation}, "cudaStreamCreate: out of memory"},
             {FaultSite::Blas, 1, int{CUBLAS_STATUS_NOT_INITIALIZED}, "cublasCreate failed with status 1"},
             {FaultSite::Blas, 2, int{CUBLAS_STATUS_INTERNAL_ERROR}, "cublasSetStream failed with status 14"},
             {FaultSite::Blas, 3, int{CUBLAS_STATUS_INVALID_VALUE}, "cublasSetMathMode failed with status 7"},
         }) {
        CpuDevice::injectFault(site, nth, status);
        const auto kind = site == FaultSite::Blas ? TransformerCudaErrorKind::Blas : TransformerCudaErrorKind::Runtime;
        Testing::expectDeviceError([](Context) { const TransformerCudaSession session(0); }, {}, kind, message);
        EXPECT_EQ(CpuDevice::liveStreams(), streams) << message;
        EXPECT_EQ(CpuDevice::liveBlasHandles(), handles) << message;
        EXPECT_EQ(releaseThreshold(), threshold) << message;
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
