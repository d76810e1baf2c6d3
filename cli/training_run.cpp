#include "cli/training_run.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/evaluation.h"
#include "cli/file_io.h"
#include "cli/initial_weights.h"
#include "cli/interrupt.h"
#include "cli/loss_curve.h"
#include "cli/memory_budget.h"
#include "cli/metrics_log.h"
#include "cli/model_files.h"
#include "cli/process_group.h"
#include "cli/progress_display.h"
#include "cli/run_directory.h"
#include "cli/run_lock.h"
#include "cli/run_schedule.h"
#include "cli/run_trainer.h"
#include "cli/start_line.h"
#include "cli/text_corpus.h"
#include "cli/training_sample.h"
#include "cli/usage_error.h"
#include "core/hash.h"
#include "core/transformer_spec.h"
#include "training/checkpoint_file.h"
#include "training/training_config.h"
#include "training/vtt_checkpoint.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

using Clock = std::chrono::steady_clock;

// What a run holds while it trains.
struct Session {
    RunDirectory directory;  // rank 0 writes it; every rank reads it
    RunSettings settings;
    TextCorpus corpus;
    std::unique_ptr<RunTrainer> trainer;
    ProcessGroup& group;
};

// Messages of the checkpoint layer name the format, not the file: say which file.
template <class Action>
auto onCheckpointFile(const std::filesystem::path& file, Action&& action) {
    try {
        return action();
    } catch (const CheckpointFileError& error) {  // with the system's reason, which a person can act on
        const std::string cause = error.cause() ? ": " + error.cause().message() : "";
        throw std::runtime_error(displayPath(file) + ": " + error.what() + cause);
    } catch (const std::exception& error) {
        throw std::runtime_error(displayPath(file) + ": " + error.what());
    }
}

void saveCheckpoint(Session& session) {
    session.group.onRoot([&] {
        const Bytes image = session.trainer->checkpointBytes();
        onCheckpointFile(session.directory.checkpointFile(),
                         [&] { writeCheckpointFile(session.directory.checkpointFile(), image); });
    });
}

// Every rank trains on the same text with the same settings, and the ranks split each window's
// batches evenly; refused on every rank before anything is written.
void requireOneJob(ProcessGroup& group, const RunSettings& settings) {
    if (settings.accumulation % group.ranks() != 0) {
        throw AgreedFailure("--accumulation " + std::to_string(settings.accumulation) + " does not split over " +
                            std::to_string(group.ranks()) +
                            " processes: the number of processes must divide the batches of a step");
    }
    const std::string identity = std::to_string(transformerSpecFingerprint(settings.spec)) + " " +
                                 std::to_string(trainingConfigFingerprint(settings.config)) + " " +
                                 std::to_string(settings.batch) + " " + std::to_string(settings.accumulation) + " " +
                                 std::to_string(settings.steps) + " " + std::to_string(settings.holdout) + " " +
                                 std::to_string(settings.validationTokens) + " " + settings.device + " " +
                                 settings.config.dataset_hash;
    if (!group.agree(vestraFnv1a64(identity))) {
        throw AgreedFailure("the " + std::to_string(group.ranks()) +
                            " processes disagree on the text or the settings; start every one with the same");
    }
}

TextCorpus corpusOf(const RunSettings& settings, std::string_view text) {
    try {
        return splitText(text, settings.holdout, settings.spec.context);
    } catch (const std::invalid_argument& error) {
        throw std::runtime_error(displayPath(settings.text) + ": " + error.what());
    }
}

// The checkpoint must be this run's before a trainer is asked to restore it, so that a file from
// another run is named as such rather than by a format message. Returns what it holds.
VttSummary requireRunCheckpoint(const std::filesystem::path& file, const Bytes& image, const RunSettings& settings,
                                const ProcessGroup& group) {
    const VttSummary summary = onCheckpointFile(file, [&] { return summarizeVttImage(image); });
    if (summary.storedChecksum != summary.computedChecksum) {
        throw std::runtime_error(displayPath(file) + ": " + kVttMessages.checksum);
    }
    if (summary.specFingerprint != transformerSpecFingerprint(settings.spec)) {
        throw std::runtime_error(displayPath(file) + " holds a model other than the one model.json describes");
    }
    if (summary.counters.accumulatedBatches >= settings.accumulation) {
        throw std::runtime_error(displayPath(file) + " holds a step open after " +
                                 std::to_string(summary.counters.accumulatedBatches) +
                                 " batches, but training.json's steps take " + std::to_string(settings.accumulation));
    }
    // Each process of a job would restore the whole open sum and the reduction would count it
    // once per process. Every rank reads the same file, so every rank refuses.
    if (summary.counters.accumulatedBatches > 0 && group.joined()) {
        throw AgreedFailure(displayPath(file) + " holds a step stopped part-way: finish it with one process");
    }
    return summary;
}

// training.json may not take the run back behind its checkpoint; the command line's --steps is the
// way to move the end.
void requireStepsReached(const std::filesystem::path& trainingFile, std::uint64_t steps, std::uint64_t taken) {
    if (steps < taken) {
        throw std::runtime_error(displayPath(trainingFile) + ": steps " + std::to_string(steps) +
                                 " is below the checkpoint's " + std::to_string(taken));
    }
}

// The steps of one window: `accumulation` batches of `batch` windows at the data order's next
// positions. Returns the step's log, or nullopt when a stop came between batches: a single process
// then leaves the window open in its checkpoint, whose counters say where it goes on, so that a
// long step never outlasts a Ctrl-C by more than a batch. Several processes, whose shares of a
// window only meet at its end, stop at steps alone.
std::optional<TrainingStepLog> trainStep(Session& session) {
    const RunSettings& settings = session.settings;
    const std::uint64_t windows = windowCount(session.corpus.training, settings.spec.context);
    std::vector<std::uint64_t> starts(settings.batch);
    ProcessGroup& group = session.group;
    const bool alone = !group.joined();
    const std::uint64_t first = alone ? session.trainer->counters().accumulatedBatches : 0;
    // Every rank draws the whole window from the one data order and accumulates its share of it.
    for (std::uint64_t a = first; a < settings.accumulation; ++a) {
        if (alone && a > first && interruptRequested()) {
            return std::nullopt;
        }
        for (std::uint64_t& start : starts) {
            start = session.trainer->nextDataIndex(windows);
        }
        if (a % group.ranks() == group.rank()) {
            const Batch batch = windowBatch(session.corpus.training, starts, settings.spec.context);
            (void)session.trainer->accumulate(batch.tokens, batch.targets);
        }
    }
    if (alone) {
        return session.trainer->step();
    }
    session.trainer->reduceWindow(group);
    try {
        return session.trainer->step();
    } catch (const std::exception& error) {
        throw AgreedFailure(error.what());  // every rank holds the same sums, so every rank refuses
    }
}

std::string summary(const char* what, double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %.4f (perplexity %.2f)", what, value, std::exp(value));
    return text;
}

int train(Session& session, const TrainingControl& control) {
    const RunSettings& settings = session.settings;
    RunTrainer& trainer = *session.trainer;
    ProcessGroup& group = session.group;
    // Rank 0 alone keeps the metrics, shows progress and writes files; the others train.
    std::optional<MetricsLog> metrics;
    std::optional<ProgressDisplay> progress;
    group.onRoot([&] {
        metrics.emplace(session.directory.metricsFile(), trainer.counters().steps);
        progress.emplace(stdout, isTerminal(stdout), settings.steps, control.logEvery);
    });
    const EvaluationBatches validation = group.root()
                                             ? EvaluationBatches(session.corpus.validation, settings.spec.context,
                                                                 settings.batch, settings.validationTokens)
                                             : EvaluationBatches();

    const std::uint64_t firstStep = trainer.counters().steps;
    const Clock::time_point started = Clock::now();
    double trainingSeconds = 0.0;
    bool saved = true;
    while (trainer.counters().steps < settings.steps && !group.any(interruptRequested())) {
        const Clock::time_point stepStart = Clock::now();
        const std::optional<TrainingStepLog> stepLog = trainStep(session);
        if (!stepLog) {
            saved = false;  // the open window goes into the checkpoint
            break;
        }
        const TrainingStepLog& log = *stepLog;
        trainingSeconds += std::chrono::duration<double>(Clock::now() - stepStart).count();

        StepRecord record;
        record.step = log.step;
        record.loss = log.loss / static_cast<double>(settings.tokensPerStep());
        record.learningRate = log.learningRate;
        record.gradientNorm = log.gradientNorm;
        record.clipScale = log.clipScale;
        if (trainingSeconds > 0.0) {  // a clock too coarse for one step gives no rate, not infinity
            record.tokensPerSecond =
                static_cast<double>((log.step - firstStep) * settings.tokensPerStep()) / trainingSeconds;
        }
        if (!validation.empty() && (log.step % settings.evalEvery == 0 || log.step == settings.steps)) {
            record.validationLoss = evaluateBatches(trainer, validation).meanLoss;
        }
        record.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        const double perStep = record.seconds / static_cast<double>(log.step - firstStep);
        group.onRoot([&] {
            metrics->append(record);
            progress->step(record, perStep * static_cast<double>(settings.steps - log.step));
        });
        if (control.sampleEvery > 0 && log.step % control.sampleEvery == 0) {
            group.onRoot([&] { progress->note(trainingSample(settings.spec, trainer.weights(), log.step)); });
        }

        saved = log.step % settings.checkpointEvery == 0;
        if (saved) {
            saveCheckpoint(session);
            group.onRoot(
                [&] { writeFileAtomically(session.directory.lossCurveFile(), lossCurveSvg(metrics->records())); });
        }
        if (control.stopAfter && log.step == *control.stopAfter) {
            raiseInterrupt();
        }
    }
    if (!saved) {
        saveCheckpoint(session);
    }
    group.onRoot([&] {
        writeFileAtomically(session.directory.lossCurveFile(), lossCurveSvg(metrics->records()));
        exportArtifact(session.settings.spec, trainer.weights(), session.directory.artifactFile());
    });
    if (!group.root()) {
        return 0;
    }

    const std::uint64_t steps = trainer.counters().steps;
    const std::string where = displayPath(session.directory.root());
    if (steps < settings.steps) {
        progress->note("stopped after step " + std::to_string(steps) + " of " + std::to_string(settings.steps) +
                       "; checkpoint saved. Continue with: vestra train --resume " + where);
        return 0;
    }
    std::string line = "done: " + std::to_string(steps) + " steps";
    const auto& records = metrics->records();
    if (!records.empty()) {
        line += ", " + summary("loss", records.back().loss);
        if (records.back().validationLoss) {
            line += ", " + summary("validation loss", *records.back().validationLoss);
        }
    }
    progress->note(line + "; model in " + displayPath(session.directory.artifactFile()));
    return 0;
}

}  // namespace

int startRun(NewRun run, const TrainingControl& control) {
    installInterruptHandler();  // a stop at any moment ends with a checkpoint of the step reached
    ProcessGroup& group = ProcessGroup::instance();
    RunSettings& settings = run.settings;
    const MappedFile text = readText(settings.text);  // the corpus views it to the end of the run
    settings.config.dataset_hash = textFingerprint(text.view());
    try {
        validateRunSettings(settings);
    } catch (const std::invalid_argument& error) {  // the options of a new run made no sense together
        throw UsageError(error.what());
    }
    requireMemory(settings.spec, settings.device, settings.batch, text.bytes().size());
    requireOneJob(group, settings);
    TextCorpus corpus = corpusOf(settings, text.view());
    settings.text = std::filesystem::absolute(settings.text);  // a resume may start elsewhere
    auto trainer = makeTrainer(settings.device, settings.spec,
                               run.init ? run.init->weights : initialWeights(settings.spec, settings.config.seed),
                               settings.config);

    // Only now, with every input accepted, is the directory claimed.
    Session session{RunDirectory(run.directory), settings, std::move(corpus), std::move(trainer), group};
    std::optional<RunLock> lock;
    group.onRoot([&] {
        session.directory = RunDirectory::create(run.directory);
        lock.emplace(session.directory.root());
        writeRunSettings(settings, session.directory.modelFile(), session.directory.trainingFile());
        const auto from = run.init ? std::optional(run.init->file) : std::nullopt;
        std::printf("%s\n",
                    startLine(settings, session.corpus.training.size(), session.directory.root(), from).c_str());
        std::fflush(stdout);
    });
    saveCheckpoint(session);
    return train(session, control);
}

int resumeRun(const ResumedRun& run, const TrainingControl& control) {
    installInterruptHandler();
    ProcessGroup& group = ProcessGroup::instance();
    const RunDirectory directory = RunDirectory::open(run.directory);
    std::optional<RunLock> lock;  // taken before anything of the run is read
    group.onRoot([&] { lock.emplace(directory.root()); });
    RunSettings settings = readRunSettings(directory.modelFile(), directory.trainingFile());
    settings.text = run.text.value_or(settings.text);
    settings.evalEvery = run.evalEvery.value_or(settings.evalEvery);
    settings.checkpointEvery = run.checkpointEvery.value_or(settings.checkpointEvery);
    settings.device = run.device.value_or(settings.device);
    validateRunSettings(settings);

    const MappedFile text = readText(settings.text);
    if (textFingerprint(text.view()) != settings.config.dataset_hash) {
        throw std::runtime_error(displayPath(settings.text) + " is not the text this run trains on (fingerprint " +
                                 textFingerprint(text.view()) + ", the run's is " + settings.config.dataset_hash + ")");
    }
    TextCorpus corpus = corpusOf(settings, text.view());
    const auto file = directory.checkpointFile();
    const std::uint64_t imageSize = requireCheckpointOfModel(file, directory.modelFile(), settings.spec);
    requireMemory(settings.spec, settings.device, settings.batch, text.bytes().size());
    const TransformerWeights weights = initialWeights(settings.spec, settings.config.seed);
    const Bytes stored = onCheckpointFile(file, [&] { return readCheckpointFile(file, imageSize); });
    const VttSummary summary = requireRunCheckpoint(file, stored, settings, group);
    const std::uint64_t taken = summary.counters.steps;
    requireStepsReached(directory.trainingFile(), settings.steps, taken);
    const std::size_t changesBefore = settings.scheduleChanges.size();
    if (run.steps) {
        try {
            moveRunEnd(settings, taken, *run.steps);
        } catch (const std::invalid_argument& error) {
            throw UsageError(std::string("--steps ") + std::to_string(*run.steps) + ": " + error.what());
        }
    }
    const Bytes image = checkpointUnderPlan(settings, file, stored, summary);
    requireOneJob(group, settings);
    auto trainer = makeTrainer(settings.device, settings.spec, weights, settings.config);
    onCheckpointFile(file, [&] { trainer->restoreCheckpoint(image); });

    Session session{directory, settings, std::move(corpus), std::move(trainer), group};
    // The settings first: a run stopped between the two writes finds its checkpoint under a plan
    // the settings still list.
    group.onRoot([&] {
        writeRunSettings(settings, directory.modelFile(), directory.trainingFile());
        const bool endMoved = settings.scheduleChanges.size() > changesBefore;
        std::printf("%s\n", resumeLine(settings, taken, directory.root(), endMoved).c_str());
        std::fflush(stdout);
    });
    if (image != stored) {
        saveCheckpoint(session);
    }
    return train(session, control);
}

}  // namespace Halcyne::Core::Vestra::Cli
