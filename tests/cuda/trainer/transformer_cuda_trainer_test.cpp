// The device-resident trainer beyond the driver's fixture: step-for-step parity with the CPU trainer
// over grouped-query attention, GELU and SwiGLU, tied and untied embeddings, ragged and masked
// batches, two-batch windows and shapes past one block in every dimension; checkpoints that travel device -> CPU ->
// device byte for byte, and the CPU trainer's bytes between windows; a restore or step that fails at any device call
// leaving the trainer and the device as they were; a failed accumulate's uploads waited for before their staging is
// reused; and the boundary counters.
#include "cuda/trainer/transformer_cuda_trainer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu_device/control.h"
#include "cuda/transformer_cuda_session.h"
#include "support/compare.h"
#include "support/device_operation.h"
#include "support/trainers.h"

namespace Halcyne::Core::Vestra {
namespace {

using Context = const TransformerCudaContext&;
using CpuDevice::FaultSite;
using Testing::expectThrowWithMessage;
using Testing::kInjectedFault;
using Testing::successors;
using Testing::tokenRows;

constexpr std::uint32_t kIgnored = 10;

// Two batches of one window: rows of different lengths (one empty), a loss mask, and the ignore
// token cutting rows short, also beyond a row's given length.
std::vector<TokenBatch> windowBatches() {
    TokenBatch ragged = tokenRows(3, 5, {1, 2, 3, 4, 5, 6, 7, 8, 9, 1, 2, 2, 2, 2, 2});
    ragged.lengths = {5, 0, 3};
    ragged.lossMask = {1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1};
    TokenBatch cut = tokenRows(2, 4, {3, 1, kIgnored, 4, 5, 9, 8, kIgnored});
    return {ragged, cut};
}

struct ParityCase {
    const char* name;
    Testing::SpecShape shape;
    int steps = 3;
    std::vector<TokenBatch> window = windowBatches();
};

// Rows of tokens counting up by 7 modulo vocabulary - 1, so that the ignore token (the last id)
// cuts none short.
TokenBatch countingRows(std::uint64_t rows, std::uint64_t width, std::vector<std::uint64_t> lengths,
                        std::uint32_t vocabulary) {
    TokenBatch batch{rows, width, {}, std::move(lengths), {}};
    for (std::uint64_t i = 0; i < rows * width; ++i) {
        batch.tokens.push_back(static_cast<std::uint32_t>((7 * i + 3) % (vocabulary - 1)));
    }
    return batch;
}

class CudaTrainerTest : public ::testing::Test {
  protected:
    void SetUp() override { CpuDevice::clearFaults(); }
    void TearDown() override { CpuDevice::clearFaults(); }

    TransformerCudaSession session_{0};
    TransformerCudaContext& context_ = session_.context();
};

TEST_F(CudaTrainerTest, FollowsTheCpuTrainerStepForStepAndSharesItsCheckpoints) {
    // Two of the last cases are past one block in every dimension the resident kernels are gridded
    // over: 270 rows (the 256-thread row kernels, the 128-thread loss kernels), 1080 attention rows,
    // a vocabulary of 260; a model 260 wide (the 256-thread column kernels) of two heads 130 wide.
    const ParityCase cases[] = {
        {"GQA 4/2, SwiGLU, untied, two layers", {}},
        {"GELU, tied, one layer", {.layers = 1, .feedForward = FeedForwardKind::Gelu, .tiedEmbeddings = true}},
        {"GELU, untied, MHA", {.queryHeads = 2, .kvHeads = 2, .feedForward = FeedForwardKind::Gelu}},
        // 4 heads of width 6: head rows and embedding rows straddle the 256-thread blocks.
        {"head width 6, one layer", {.layers = 1, .headDim = 6}},
        {"270 rows, vocabulary 260",
         {.vocabulary = 260, .context = 90, .layers = 1},
         1,
         {countingRows(3, 90, {90, 45, 89}, 260)}},
        {"model 260 wide, heads 130 wide",
         {.vocabulary = 5, .context = 4, .layers = 1, .queryHeads = 2, .kvHeads = 1, .headDim = 130, .ffnDim = 4},
         1,
         {countingRows(2, 2, {}, 5)}},
        // Query positions past the 512 keys whose scores and exponentials the CPU device's attention
        // keeps form them again in every pass, as the first 512 do once.
        {"rows of 520 positions",
         {.vocabulary = 7, .context = 520, .layers = 1},
         1,
         {countingRows(2, 520, {520, 515}, 7)}},
    };
    for (const ParityCase& parity : cases) {
        SCOPED_TRACE(parity.name);
        const TransformerSpec spec = Testing::variantSpec(parity.shape);
        const TransformerWeights weights = Testing::variantWeights(spec);
        TransformerTrainingConfig config = scenarioTrainingConfig("cuda-trainer-parity");
        config.learning_rate = 0.01;
        config.max_gradient_norm = 0.05;  // clips every step
        config.warmup_steps = 1;
        config.decay_steps = 5;
        config.seed = 5;
        config.ignore_token = spec.vocabulary - 1;
        TransformerTrainer cpu(spec, weights, config);
        TransformerCudaTrainer cuda(spec, weights, config, context_);

        for (int step = 0; step < parity.steps; ++step) {
            EXPECT_EQ(cpu.nextDataIndex(7), cuda.nextDataIndex(7));
            for (const TokenBatch& batch : parity.window) {
                const std::vector<std::uint32_t> targets = successors(batch, spec.vocabulary);
                const double loss = cpu.accumulate(batch, targets);
                EXPECT_NEAR(cuda.accumulate(batch, targets), loss, 1e-12 * std::max(1.0, loss));
            }
            // The device's window, read through its image.
            TransformerTrainer window = cpu;
            ASSERT_NO_THROW(window.restoreCheckpoint(cuda.checkpointBytes())) << "a device gradient is not finite";
            forEachWeightTensor(cpu.gradientAccumulator(), [&](const WeightSlot& slot, const Tensor& expected) {
                EXPECT_TRUE(
                    Testing::relativelyNear(weightSlotMember(window.gradientAccumulator(), slot), expected, 1e-10))
                    << canonicalTensorName(slot);
            });
            const TrainingStepLog expected = cpu.step();
            const TrainingStepLog got = cuda.step();
            EXPECT_EQ(std::vector({got.step, got.windowStart, got.windowEnd}),
                      std::vector({expected.step, expected.windowStart, expected.windowEnd}));
            EXPECT_NEAR(got.loss, expected.loss, 1e-10);
            EXPECT_NEAR(got.gradientNorm, expected.gradientNorm, 1e-9);
            EXPECT_NEAR(got.clipScale, expected.clipScale, 1e-9);
            EXPECT_EQ(got.learningRate, expected.learningRate);
            EXPECT_LT(maxModelDifference(cpu.weights(), cuda.materializeWeights()), 1e-10);
        }

        // An open window travels device -> CPU -> device unchanged, and both device trainers then
        // continue identically.
        const TokenBatch& batch = parity.window.front();
        const std::vector<std::uint32_t> targets = successors(batch, spec.vocabulary);
        (void)cuda.accumulate(batch, targets);
        const Bytes image = cuda.checkpointBytes();
        cpu.restoreCheckpoint(image);
        ASSERT_EQ(cpu.checkpointBytes(), image);
        TransformerCudaTrainer restored(spec, weights, config, context_);
        restored.restoreCheckpoint(cpu.checkpointBytes());
        ASSERT_EQ(restored.checkpointBytes(), image);
        for (TransformerCudaTrainer* trainer : {&cuda, &restored}) {
            (void)trainer->accumulate(batch, targets);
            (void)trainer->step();
        }
        EXPECT_EQ(restored.checkpointBytes(), cuda.checkpointBytes());
    }
}

// A clipped step is an unclipped step on the clipped gradient (a window of two batches).
TEST_F(CudaTrainerTest, AClippedStepUpdatesWithTheClippedGradient) {
    const TransformerSpec spec = Testing::variantSpec({.layers = 1});
    const TransformerWeights weights = Testing::variantWeights(spec);
    Testing::expectClippedStepIsAStepOnTheClippedGradient([&](double threshold) {
        TransformerTrainingConfig config = scenarioTrainingConfig("clip");
        config.max_gradient_norm = threshold;
        auto trainer = std::make_unique<TransformerCudaTrainer>(spec, weights, config, context_);
        for (const TokenBatch& batch : windowBatches()) {
            (void)trainer->accumulate(batch, successors(batch, spec.vocabulary));
        }
        return trainer;
    });
}

// Between a step and the next accumulate the window is closed as the CPU trainer closes it: from the
// same image, an unclipped step leaves the CPU trainer's bytes (the device update is the CPU's element
// for element, and a window of one or two batches scales exactly). With BF16 the first pass after a
// step, an accumulate after the first and an evaluate after the second, reads the updated weights.
TEST_F(CudaTrainerTest, AStepClosesItsWindowAsTheCpuTrainerDoesAndItsWeightsAreUsedAtOnce) {
    TransformerSpec spec = Testing::variantSpec({.layers = 1});
    spec.precision.activations = PrecisionKind::Bf16;
    const TransformerWeights weights = Testing::variantWeights(spec);
    TransformerTrainingConfig config = scenarioTrainingConfig("closed window");
    config.max_gradient_norm = 1e300;
    const TokenBatch batch = tokenRows(2, 3, {1, 2, 3, 4, 5, 6});
    const std::vector<std::uint32_t> targets = successors(batch, spec.vocabulary);
    TransformerTrainer cpu(spec, weights, config);
    TransformerCudaTrainer cuda(spec, weights, config, context_);
    for (int step = 0; step < 2; ++step) {
        (void)cuda.accumulate(batch, targets);
        cpu.restoreCheckpoint(cuda.checkpointBytes());
        (void)cpu.step();
        (void)cuda.step();
        EXPECT_EQ(cuda.windowStartExamples(), cuda.examplesSeen());
        const Bytes image = cuda.checkpointBytes();
        EXPECT_TRUE(image == cpu.checkpointBytes()) << "step " << step;
        TransformerCudaTrainer restored(spec, weights, config, context_);
        restored.restoreCheckpoint(image);
        EXPECT_EQ(step == 0 ? cuda.accumulate(batch, targets) : cuda.evaluate(batch, targets),
                  restored.evaluate(batch, targets));
    }
}

// Window reductions as two processes would meet: Capture takes a trainer's packed window and leaves
// it as it is (a job of one), Adding replaces it with the two captured windows' sum in rank order,
// Failing is an engine that fails.
struct Capture final : WindowReduction {
    std::vector<double> values;
    [[nodiscard]] std::uint32_t rank() const override { return 0; }
    [[nodiscard]] std::uint32_t ranks() const override { return 1; }
    void sum(std::span<double> window) override { values.assign(window.begin(), window.end()); }
};

struct Adding final : WindowReduction {
    const std::vector<double>& first;
    const std::vector<double>& second;
    Adding(const std::vector<double>& a, const std::vector<double>& b) : first(a), second(b) {}
    [[nodiscard]] std::uint32_t rank() const override { return 0; }
    [[nodiscard]] std::uint32_t ranks() const override { return 2; }
    void sum(std::span<double> window) override {
        for (std::size_t i = 0; i < window.size(); ++i) {
            window[i] = (0.0 + first[i]) + second[i];
        }
    }
};

struct Failing final : WindowReduction {
    [[nodiscard]] std::uint32_t rank() const override { return 0; }
    [[nodiscard]] std::uint32_t ranks() const override { return 2; }
    void sum(std::span<double>) override { throw std::runtime_error("the engine failed"); }
};

// Two trainers that each accumulate one batch of a window and then hold the reduced window take the
// step one trainer takes over both batches, to the checkpoint byte (the sums meet in the same
// order); a reduction that fails changes nothing.
TEST_F(CudaTrainerTest, TwoHalvesOfAReducedWindowStepAsTheWholeWindow) {
    const TransformerSpec spec = Testing::variantSpec({.layers = 1});
    const TransformerWeights weights = Testing::variantWeights(spec);
    const TransformerTrainingConfig config = scenarioTrainingConfig("reduced window");
    const std::vector<TokenBatch> window = windowBatches();
    const auto check = [&](auto make) {
        auto whole = make();
        auto first = make();
        auto second = make();
        for (std::size_t b = 0; b < window.size(); ++b) {
            (void)whole->accumulate(window[b], successors(window[b], spec.vocabulary));
            (void)(b == 0 ? first : second)->accumulate(window[b], successors(window[b], spec.vocabulary));
        }
        const Bytes before = first->checkpointBytes();
        Failing failing;
        EXPECT_THROW(first->reduceWindow(failing), std::runtime_error);
        EXPECT_TRUE(first->checkpointBytes() == before);
        Capture a;
        Capture b;
        first->reduceWindow(a);
        second->reduceWindow(b);
        Adding sum(a.values, b.values);
        first->reduceWindow(sum);
        second->reduceWindow(sum);
        const TrainingStepLog expected = whole->step();
        for (const auto& half : {first.get(), second.get()}) {
            EXPECT_EQ(half->step().loss, expected.loss);
            EXPECT_TRUE(half->checkpointBytes() == whole->checkpointBytes());
        }
    };
    check([&] { return std::make_unique<TransformerTrainer>(spec, weights, config); });
    check([&] { return std::make_unique<TransformerCudaTrainer>(spec, weights, config, context_); });
}

// Counters follow the boundary rules. (The failure test below, with tied embeddings, depends on the
// parameter list skipping tensors without values.)
TEST_F(CudaTrainerTest, CountsEveryCrossingAndEveryBf16Gemm) {
    TransformerSpec spec = Testing::variantSpec({.layers = 1});
    spec.precision.activations = PrecisionKind::Bf16;
    TransformerCudaTrainer trainer(spec, Testing::variantWeights(spec), scenarioTrainingConfig("counters"), context_);
    const std::uint64_t parameters = trainer.parameterCount();
    EXPECT_EQ(parameters, 12u);

    const TokenBatch batch = tokenRows(1, 4, {1, 2, 3, 4});
    const std::vector<std::uint32_t> targets = successors(batch, spec.vocabulary);
    (void)trainer.evaluate(batch, targets);    // eight forward GEMMs
    (void)trainer.accumulate(batch, targets);  // and two more for each of them backward
    EXPECT_EQ(trainer.bf16TensorCoreGemms(), 8u + 24u);
    (void)trainer.materializeWeights();
    (void)trainer.checkpointBytes();
    EXPECT_EQ(trainer.tensorDownloads(), 3 * parameters);  // the weights were current: not downloaded
    (void)trainer.step();
    (void)trainer.checkpointBytes();
    EXPECT_EQ(trainer.tensorDownloads(), 7 * parameters);
    (void)trainer.materializeWeights();
    (void)trainer.materializeWeights();
    EXPECT_EQ(trainer.tensorDownloads(), 8 * parameters);
}

// Every refusal comes before any change: the checkpoint image and the device's live allocations
// are as they were, and refusals of construction or of a batch happen before any device work.
TEST_F(CudaTrainerTest, RefusalsChangeNothing) {
    using Testing::expectRefusedBeforeDeviceWork;
    const TransformerSpec spec = Testing::variantSpec({.layers = 1});
    const TransformerWeights weights = Testing::variantWeights(spec);
    const std::uint64_t live = CpuDevice::liveAllocations();
    using ConfigEdit = std::function<void(TransformerTrainingConfig&)>;
    for (const ConfigEdit& edit : std::initializer_list<ConfigEdit>{
             [](auto& c) { c.beta1 = 1.0; }, [](auto& c) { c.epsilon = 0.0; }, [](auto& c) { c.weight_decay = -0.5; },
             [](auto& c) { c.learning_rate = std::numeric_limits<double>::quiet_NaN(); },
             [](auto& c) { c.dataset_hash.clear(); }}) {
        TransformerTrainingConfig config = scenarioTrainingConfig("refusals");
        edit(config);
        expectRefusedBeforeDeviceWork([&](Context) { TransformerCudaTrainer(spec, weights, config, context_); },
                                      context_, "invalid CUDA trainer configuration");
    }
    // A non-finite weight the one-token probe never reads (the last embedding row) is refused too.
    TransformerWeights nonFinite = weights;
    nonFinite.token_embedding.values.back() = std::numeric_limits<double>::infinity();
    expectRefusedBeforeDeviceWork<std::domain_error>(
        [&](Context) { TransformerCudaTrainer(spec, nonFinite, scenarioTrainingConfig("refusals"), context_); },
        context_, "transformer weights contain NaN/Inf");
    EXPECT_EQ(CpuDevice::liveAllocations(), live);

    TransformerCudaTrainer trainer(spec, weights, scenarioTrainingConfig("refusals"), context_);
    expectThrowWithMessage<std::logic_error>([&] { (void)trainer.step(); },
                                             "CUDA optimizer step requires accumulated gradients");
    const TokenBatch good = tokenRows(2, 3, {1, 2, 3, 4, 5, 6});
    const std::vector<std::uint32_t> targets = successors(good, spec.vocabulary);
    (void)trainer.accumulate(good, targets);
    const Bytes before = trainer.checkpointBytes();
    const std::uint64_t resident = CpuDevice::liveAllocations();
    using BatchEdit = std::pair<const char*, std::function<void(TokenBatch&)>>;
    for (const auto& [message, edit] : std::initializer_list<BatchEdit>{
             {"resident training batch mismatch", [](TokenBatch& b) { b.tokens.pop_back(); }},
             {"resident training lengths mismatch", [](TokenBatch& b) { b.lengths.assign(3, 3); }},
             {"resident training loss mask mismatch", [](TokenBatch& b) { b.lossMask.assign(1, 1); }},
             {"resident training length exceeds sequence",
              [](TokenBatch& b) {
                  b.lengths.assign({3, 4});
              }},
             {"resident training batch contains no active loss targets", [](TokenBatch& b) { b.lengths.assign(2, 0); }},
             {"resident training token exceeds vocabulary", [&](TokenBatch& b) { b.tokens[5] = spec.vocabulary; }},
         }) {
        TokenBatch batch = good;
        edit(batch);
        expectRefusedBeforeDeviceWork([&](Context) { (void)trainer.accumulate(batch, targets); }, context_, message);
    }
    expectThrowWithMessage<std::invalid_argument>([&] { (void)trainer.nextDataIndex(0); },
                                                  "dataset size must be positive");
    EXPECT_EQ(trainer.checkpointBytes(), before);
    EXPECT_EQ(CpuDevice::liveAllocations(), resident);

    // A step refused for a non-finite norm (an infinite window) or update (a NaN weight) leaves the
    // host weights current: neither materializeWeights nor a checkpoint downloads them afterwards.
    Bytes nanWeight = before;
    ByteWriter(nanWeight).patchU64(80, std::bit_cast<std::uint64_t>(std::numeric_limits<double>::quiet_NaN()));
    Testing::reseal(nanWeight);
    using Refusal = std::pair<Bytes, const char*>;
    for (const auto& [image, message] :
         {Refusal{Testing::withScaledWindow(before, std::numeric_limits<double>::infinity()),
                  "non-finite CUDA gradient norm"},
          Refusal{nanWeight, "CUDA optimizer would produce non-finite state"}}) {
        trainer.restoreCheckpoint(image);
        const std::uint64_t downloads = trainer.tensorDownloads();
        expectThrowWithMessage<std::domain_error>([&] { (void)trainer.step(); }, message);
        EXPECT_TRUE(trainer.weightsMaterialized()) << message;
        (void)trainer.materializeWeights();
        (void)trainer.checkpointBytes();
        EXPECT_EQ(trainer.tensorDownloads(), downloads + 3 * trainer.parameterCount()) << message;  // no weights
    }
}

// A restore that fails at any device call, and a step that fails at any device call before its
// update (of the norm or the validation), leave the trainer's image unchanged and give back every
// buffer they took. (The driver holds a step refused for a non-finite update to the same rule.)
TEST_F(CudaTrainerTest, FailuresBeforeTheCommitLeaveTheTrainerAsItWas) {
    const TransformerSpec spec = Testing::variantSpec({.layers = 1, .tiedEmbeddings = true});
    const TransformerWeights weights = Testing::variantWeights(spec);
    const TokenBatch batch = tokenRows(1, 4, {1, 2, 3, 4});
    const std::vector<std::uint32_t> targets = successors(batch, spec.vocabulary);
    const TransformerTrainingConfig config = scenarioTrainingConfig("failures");
    TransformerCudaTrainer source(spec, weights, config, context_);
    (void)source.accumulate(batch, targets);
    (void)source.step();
    const Bytes image = source.checkpointBytes();

    TransformerCudaTrainer trainer(spec, weights, config, context_);
    (void)trainer.accumulate(batch, targets);
    const Bytes before = trainer.checkpointBytes();
    const std::uint64_t live = CpuDevice::liveAllocations();
    const auto failsCleanly = [&](FaultSite site, std::uint64_t nth, const std::function<void()>& call) {
        CpuDevice::injectFault(site, nth, kInjectedFault);
        bool failed = false;
        try {
            call();
        } catch (const std::exception&) {
            failed = true;
        }
        CpuDevice::clearFaults();
        (void)cudaGetLastError();
        if (failed) {
            EXPECT_EQ(trainer.checkpointBytes(), before) << static_cast<int>(site) << " " << nth;
            EXPECT_EQ(CpuDevice::liveAllocations(), live) << static_cast<int>(site) << " " << nth;
        }
        return failed;
    };

    const auto restore = [&] { trainer.restoreCheckpoint(image); };
    for (const FaultSite site :
         {FaultSite::Allocation, FaultSite::Copy, FaultSite::Memset, FaultSite::Launch, FaultSite::Synchronization}) {
        std::uint64_t nth = 1;
        while (failsCleanly(site, nth, restore)) {
            ++nth;
        }
        ASSERT_EQ(trainer.checkpointBytes(), image) << "restore succeeded after " << nth - 1 << " failures";
        trainer.restoreCheckpoint(before);
        EXPECT_GT(nth, 1u);
    }

    // The step's device calls before its update: three allocations, two memsets, two copies, two
    // synchronisations and three launches per parameter.
    const auto step = [&] { (void)trainer.step(); };
    const std::pair<FaultSite, std::uint64_t> stepCalls[] = {{FaultSite::Allocation, 3},
                                                             {FaultSite::Memset, 2},
                                                             {FaultSite::Copy, 2},
                                                             {FaultSite::Synchronization, 2},
                                                             {FaultSite::Launch, 3 * trainer.parameterCount()}};
    for (const auto& [site, calls] : stepCalls) {
        for (std::uint64_t nth = 1; nth <= calls; ++nth) {
            EXPECT_TRUE(failsCleanly(site, nth, step)) << static_cast<int>(site) << " " << nth;
        }
    }

    EXPECT_NO_THROW((void)trainer.step());

    // Tensor values travel as they are (only the loss is checked): an image holding a NaN restores.
    Bytes nonFinite = image;
    ByteWriter(nonFinite).patchU64(80, std::bit_cast<std::uint64_t>(std::numeric_limits<double>::quiet_NaN()));
    Testing::reseal(nonFinite);
    EXPECT_NO_THROW(trainer.restoreCheckpoint(nonFinite));
}

// An accumulate that fails after its uploads (at a refused launch) may leave them running from the batch staging on a
// GPU. The next accumulate waits for the stream before it writes the staging again: an injected synchronisation fault
// surfaces there, under the name of the first upload, before any upload. The one after that waits again and succeeds,
// and settles the staging: the next waits for nothing before its own synchronisation. A trainer ended right after such
// a failure waits before it frees the staging.
TEST_F(CudaTrainerTest, AFailedAccumulateIsWaitedForBeforeItsStagingIsReused) {
    const TransformerSpec spec = Testing::variantSpec({.layers = 1});
    const TransformerWeights weights = Testing::variantWeights(spec);
    const TransformerTrainingConfig config = scenarioTrainingConfig("staging");
    const TokenBatch batch = tokenRows(2, 3, {1, 2, 3, 4, 5, 6});
    const std::vector<std::uint32_t> targets = successors(batch, spec.vocabulary);
    const double loss = TransformerCudaTrainer(spec, weights, config, context_).accumulate(batch, targets);

    TransformerCudaTrainer trainer(spec, weights, config, context_);
    const std::string failure = std::string(": ") + cudaGetErrorString(kInjectedFault);
    CpuDevice::injectFault(FaultSite::Launch, 1, kInjectedFault);
    EXPECT_THROW((void)trainer.accumulate(batch, targets), TransformerCudaError);
    CpuDevice::injectFault(FaultSite::Synchronization, 1, kInjectedFault);
    expectThrowWithMessage<TransformerCudaError>([&] { (void)trainer.accumulate(batch, targets); },
                                                 "upload resident tokens" + failure);
    CpuDevice::clearFaults();
    EXPECT_EQ(trainer.accumulate(batch, targets), loss);
    CpuDevice::injectFault(FaultSite::Synchronization, 1, kInjectedFault);
    expectThrowWithMessage<TransformerCudaError>([&] { (void)trainer.accumulate(batch, targets); },
                                                 "synchronize resident training loss" + failure);

    {
        TransformerCudaTrainer ended(spec, weights, config, context_);
        CpuDevice::injectFault(FaultSite::Launch, 1, kInjectedFault);
        EXPECT_THROW((void)ended.accumulate(batch, targets), TransformerCudaError);
        CpuDevice::injectFault(FaultSite::Synchronization, 1, kInjectedFault);
    }
    EXPECT_EQ(cudaStreamSynchronize(context_.stream), cudaSuccess) << "the staging was freed without a wait";
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the wait's failure was left as the last error";
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
