#include "cli/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "cli/command_suggestion.h"
#include "cli/inspect.h"
#include "cli/model_commands.h"
#include "cli/model_files.h"
#include "cli/process_group.h"
#include "cli/run_schedule.h"
#include "cli/run_trainer.h"
#include "cli/text_corpus.h"
#include "cli/training_run.h"
#include "cli/usage_error.h"
#include "cli/usage_words.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

// The run a new `train` makes unless told otherwise: a model of about 0.1 M parameters with its
// own output embedding (which learns byte pairs far sooner than a tied one), trained at a high rate
// on batches of 16 windows. The CPU device on two cores runs its 100 steps in about a minute, and
// its samples are word-shaped by then. The options write into the spec; flags finish it.
TransformerSpec defaultSpec() {
    constexpr std::uint32_t vocabulary = 258;  // the byte tokenizer's
    TransformerSpec spec;
    spec.vocabulary = vocabulary;
    spec.context = 64;
    spec.layers = 2;
    spec.model_dim = 64;
    spec.ffn_dim = 128;
    spec.query_heads = 4;
    spec.kv_heads = 2;
    spec.position.rope_base = 10000.0;
    spec.normalization.epsilon = 1e-5;
    spec.feed_forward = FeedForwardKind::SwiGlu;
    spec.ports = {{"tokens", PortDirection::Input, PortKind::TokenIds, 1, "tokens/1"},
                  {"logits", PortDirection::Output, PortKind::Logits, vocabulary, "logits/1"}};
    return spec;
}

struct ModelFlags {
    bool gelu = false;
    bool tied = false;
    bool bf16 = false;
};

struct TrainOptions {
    ModelFlags flags;
    RunSettings run;
    std::string text;
    std::string directory;
    std::string resume;
    std::uint64_t warmup = 10;
    std::uint64_t decay = 0;  // 0: to the last step
    TrainingControl control;
    std::uint64_t stopAfter = 0;
    std::vector<CLI::Option*> newRunOnly;  // options that shape the training state
    std::vector<CLI::Option*> modelShape;  // options that shape the model, which --init brings
    std::string init;
    std::string initSpec;
};

// CLI11's own range checks print the limits of a double; these say what is wanted instead.
CLI::Validator wholeNumber(bool positive) {
    return CLI::Validator(
        [positive](std::string& text) {
            std::uint64_t value = 0;
            const char* end = text.data() + text.size();
            const auto parsed = std::from_chars(text.data(), end, value);
            const bool valid = parsed.ec == std::errc() && parsed.ptr == end && (!positive || value > 0);
            return valid ? std::string() : positive ? "must be a whole number of at least 1" : "must be a whole number";
        },
        positive ? "N>0" : "N");
}

CLI::Validator realNumber(bool positive) {
    return CLI::Validator(
        [positive](std::string& text) {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            const bool valid =
                !text.empty() && *end == '\0' && std::isfinite(value) && (positive ? value > 0.0 : value >= 0.0);
            return valid ? std::string() : positive ? "must be a number above 0" : "must be a number of at least 0";
        },
        positive ? "X>0" : "X>=0");
}

// A share in (0, 1].
CLI::Validator unitShare() {
    return CLI::Validator(
        [](std::string& text) {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            const bool valid = !text.empty() && *end == '\0' && value > 0.0 && value <= 1.0;
            return valid ? std::string() : "must be a number above 0 and at most 1";
        },
        "0<P<=1");
}

void finishSpec(TransformerSpec& spec, const ModelFlags& flags) {
    if (spec.model_dim % spec.query_heads != 0) {
        throw CLI::ValidationError("--dim", "must be a multiple of --heads");
    }
    spec.head_dim = spec.model_dim / spec.query_heads;
    spec.feed_forward = flags.gelu ? FeedForwardKind::Gelu : FeedForwardKind::SwiGlu;
    spec.precision.activations = flags.bf16 ? PrecisionKind::Bf16 : PrecisionKind::Float64;
    spec.tied_embeddings = flags.tied;
}

template <class T>
std::optional<T> given(const CLI::Option* option, const T& value) {
    return option->count() > 0 ? std::optional<T>(value) : std::nullopt;
}

std::optional<std::filesystem::path> pathIfGiven(const std::string& path) {
    return path.empty() ? std::nullopt : std::optional<std::filesystem::path>(path);
}

// train --init: a trained model brings the run's model, its shape and its weights.
void takeInitialModel(NewRun& run, const TrainOptions& o) {
    for (const CLI::Option* option : o.modelShape) {
        if (option->count() > 0) {
            throw CLI::ValidationError(option->get_name(),
                                       "the --init model fixes the model's shape; it cannot be given with --init");
        }
    }
    const auto model = loadModel(o.init, pathIfGiven(o.initSpec));
    if (model->spec().precision.activations == PrecisionKind::Bf16 && run.settings.device == referenceDevice) {
        throw CLI::ValidationError("--device", "the --init model takes BF16 products, which need the device trainer");
    }
    run.settings.spec = model->spec();
    run.init = InitialModel{o.init, model->weights()};
}

void addTrain(CLI::App& app, TrainOptions& o, int& status) {
    CLI::App* train = app.add_subcommand("train", "train a model on a text file, or resume a run");
    train->add_option("TEXT_FILE", o.text, "the text to train on (byte tokens); with --resume, where it now is")
        ->type_name("FILE");
    auto* run = train->add_option("--run", o.directory, "new, empty directory for the run's files")->type_name("DIR");
    auto* resume =
        train->add_option("--resume", o.resume, "continue the run in this directory")->excludes(run)->type_name("DIR");
    const auto devices = availableDevices();
    o.run.device = defaultDevice();
    auto* device = train->add_option("--device", o.run.device, "trainer: the build's device, or the CPU reference")
                       ->check(CLI::IsMember(devices))
                       ->capture_default_str();

    const auto fresh = [&](CLI::Option* option) {
        o.newRunOnly.push_back(option);
        return option->capture_default_str();
    };
    const auto positive = [&](CLI::Option* option) { return fresh(option)->check(wholeNumber(true)); };
    const auto shape = [&](CLI::Option* option) {
        o.modelShape.push_back(option);
        return option->group("Model");
    };
    auto* init = fresh(train->add_option("--init", o.init,
                                         "start from a trained model (.vtm file or run directory) instead of drawn "
                                         "weights; it brings the model's shape"))
                     ->excludes(resume)
                     ->type_name("MODEL");
    fresh(train->add_option("--model-json", o.initSpec, "model.json of an --init .vtm file that has none beside it"))
        ->needs(init)
        ->type_name("FILE");
    TransformerSpec& m = o.run.spec;
    m = defaultSpec();
    shape(positive(train->add_option("--layers", m.layers, "transformer layers")));
    shape(positive(train->add_option("--dim", m.model_dim, "model width (model_dim)")));
    shape(positive(train->add_option("--heads", m.query_heads, "query heads; head width is dim / heads")));
    shape(positive(train->add_option("--kv-heads", m.kv_heads, "key/value heads (divides --heads)")));
    shape(positive(train->add_option("--ffn-dim", m.ffn_dim, "feed-forward width")));
    shape(positive(train->add_option("--context", m.context, "tokens per window")));
    ModelFlags& f = o.flags;
    shape(fresh(train->add_flag("--gelu", f.gelu, "GELU feed-forward instead of SwiGLU")));
    shape(fresh(train->add_flag("--tied", f.tied, "output projection shares the token embedding")));
    shape(fresh(train->add_flag("--bf16", f.bf16, "BF16 tensor-core products (device trainer only)")));

    RunSettings& r = o.run;
    TransformerTrainingConfig& c = r.config;
    c.learning_rate = 0.01;
    positive(train->add_option("--batch", r.batch, "windows per batch"))->group("Training");
    auto* accumulation = positive(train->add_option(
        "--accumulation", r.accumulation, "batches per optimizer step (by default one per process of an mpirun job)"));
    accumulation->group("Training");
    auto* steps =
        train
            ->add_option("--steps", r.steps,
                         "optimizer steps of the whole run (a resume may move the end: the decay is replanned to "
                         "reach zero at the new end)")
            ->check(wholeNumber(true))
            ->capture_default_str()
            ->group("Training");
    fresh(train->add_option("--lr", c.learning_rate, "peak learning rate"))->check(realNumber(true))->group("Training");
    fresh(train->add_option("--warmup", o.warmup, "linear warm-up steps"))
        ->check(wholeNumber(false))
        ->group("Training");
    fresh(train->add_option("--decay", o.decay, "linear decay steps after warm-up (default: to the last step)"))
        ->check(wholeNumber(false))
        ->group("Training");
    fresh(train->add_option("--weight-decay", c.weight_decay, "decoupled weight decay"))
        ->check(realNumber(false))
        ->group("Training");
    fresh(train->add_option("--clip", c.max_gradient_norm, "global gradient-norm clip"))
        ->check(realNumber(true))
        ->group("Training");
    fresh(train->add_option("--seed", c.seed, "seed of the initial weights and the data order"))
        ->check(wholeNumber(false))
        ->group("Training");
    fresh(train->add_option("--holdout", r.holdout, "share of the text's tail held out for validation"))
        ->check(realNumber(false))
        ->group("Training");
    auto* evalEvery = train->add_option("--eval-every", r.evalEvery, "steps between validation losses")
                          ->check(wholeNumber(true))
                          ->capture_default_str()
                          ->group("Progress");
    auto* checkpointEvery = train->add_option("--checkpoint-every", r.checkpointEvery, "steps between checkpoints")
                                ->check(wholeNumber(true))
                                ->capture_default_str()
                                ->group("Progress");
    positive(train->add_option("--val-tokens", r.validationTokens, "held-out tokens a validation reads, at most"))
        ->group("Progress");
    train->add_option("--log-every", o.control.logEvery, "steps between log lines when not on a terminal")
        ->check(wholeNumber(true))
        ->capture_default_str()
        ->group("Progress");
    train
        ->add_option("--sample-every", o.control.sampleEvery,
                     "steps between short samples on the log (from a newline, seed 1); none by default")
        ->check(wholeNumber(true))
        ->group("Progress");
    // For tests: behave as if Ctrl-C came during this step.
    train->add_option("--stop-after", o.stopAfter)->check(wholeNumber(true))->group("");

    train->callback([&o, &status, run, resume, init, steps, evalEvery, checkpointEvery, device, accumulation] {
        if (o.stopAfter > 0) {
            o.control.stopAfter = o.stopAfter;
        }
        if (resume->count() > 0) {
            for (const CLI::Option* option : o.newRunOnly) {
                if (option->count() > 0) {
                    throw CLI::ValidationError(option->get_name(),
                                               "is fixed when a run starts; it cannot change on --resume");
                }
            }
            ResumedRun resumed{o.resume,
                               o.text.empty() ? std::nullopt : std::optional<std::filesystem::path>(o.text),
                               given(steps, o.run.steps),
                               given(evalEvery, o.run.evalEvery),
                               given(checkpointEvery, o.run.checkpointEvery),
                               given(device, o.run.device)};
            status = resumeRun(resumed, o.control);
            return;
        }
        if (o.text.empty() || run->count() == 0) {
            throw CLI::ValidationError("train", "needs TEXT_FILE and --run DIR, or --resume DIR");
        }
        if (o.flags.bf16 && o.run.device == referenceDevice) {
            throw CLI::ValidationError("--bf16", "needs the device trainer, not --device reference");
        }
        NewRun fresh{o.run, o.directory, std::nullopt};
        if (accumulation->count() == 0) {  // each process of a job takes one batch of every step
            fresh.settings.accumulation = ProcessGroup::instance().ranks();
        }
        if (init->count() > 0) {
            takeInitialModel(fresh, o);
        } else {
            finishSpec(fresh.settings.spec, o.flags);
        }
        fresh.settings.text = o.text;
        fresh.settings.config.warmup_steps = o.warmup;
        fresh.settings.config.decay_steps = o.decay > 0 ? o.decay : decayToEnd(o.run.steps, o.warmup);
        status = startRun(std::move(fresh), o.control);
    });
}

struct ModelCommandOptions {
    std::string model;
    std::string spec;
    std::string text;
    SampleRequest sampling;
    std::string prompt;
    std::string promptFile;
    std::string device;
    std::uint32_t batch = 8;
};

std::optional<std::filesystem::path> specFile(const ModelCommandOptions& o) {
    return pathIfGiven(o.spec);
}

void addModelCommands(CLI::App& app, ModelCommandOptions& o, int& status) {
    CLI::App* sample = app.add_subcommand("sample", "generate text from a run's checkpoint or a VTM artifact");
    sample->add_option("MODEL", o.model, "run directory or .vtm file")->required();
    auto* prompt = sample->add_option("--prompt", o.prompt, "text to continue (default: a newline, not written out)");
    sample->add_option("--prompt-file", o.promptFile, "continue the text of this file instead")
        ->excludes(prompt)
        ->type_name("FILE");
    SamplingOptions& s = o.sampling.options;
    sample->add_option("--tokens", s.tokens, "bytes to generate")->check(wholeNumber(false))->capture_default_str();
    sample->add_option("--temperature", s.temperature, "softmax temperature; 0 takes the likeliest byte")
        ->check(realNumber(false))
        ->capture_default_str();
    sample->add_option("--top-k", s.topK, "draw from the k likeliest bytes; 0 from all")->capture_default_str();
    sample
        ->add_option("--top-p", s.topP,
                     "then only the likeliest of those whose probabilities, after the temperature, add up to p")
        ->check(unitShare())
        ->capture_default_str();
    sample->add_option("--seed", s.seed, "seed of the draw")->check(wholeNumber(false))->capture_default_str();
    sample->add_option("--count", o.sampling.count, "samples to draw, the n-th with seed + n - 1")
        ->check(wholeNumber(true))
        ->capture_default_str();
    sample->add_option("--model-json", o.spec, "model.json of a .vtm file that has none beside it");
    sample->footer(
        "Each byte is drawn in this order: the top-k bytes are kept, the temperature shapes their "
        "probabilities, and the top-p head of those is kept.");
    sample->callback([&o, &status, prompt] {
        if (prompt->count() > 0) {
            o.sampling.prompt = o.prompt;
        } else if (!o.promptFile.empty()) {
            o.sampling.prompt = std::string(readText(o.promptFile).view());
        }
        status = sampleCommand(o.model, specFile(o), o.sampling);
    });

    CLI::App* eval = app.add_subcommand("eval", "mean loss and perplexity per token of a model on a text");
    eval->add_option("MODEL", o.model, "run directory or .vtm file")->required();
    eval->add_option("TEXT_FILE", o.text, "the text to score")->required();
    eval->add_option("--model-json", o.spec, "model.json of a .vtm file that has none beside it");
    o.device = defaultDevice();
    eval->add_option("--device", o.device, "evaluator: the build's device, or the CPU reference")
        ->check(CLI::IsMember(availableDevices()))
        ->capture_default_str();
    eval->add_option("--batch", o.batch, "windows per batch")->check(wholeNumber(true))->capture_default_str();
    eval->callback([&o, &status] { status = evalCommand(o.model, specFile(o), o.text, o.device, o.batch); });

    CLI::App* inspect = app.add_subcommand("inspect", "what a VTT checkpoint or VTM artifact holds");
    inspect->add_option("FILE", o.model, "a .vtt or .vtm file")->required();
    inspect->callback([&o, &status] {
        inspectFile(o.model, std::cout);
        status = 0;
    });
}

// "vestra 0.1.0 (cpu device)": the version, and the trainer the build has besides the reference.
std::string versionLine() {
    const std::string device = defaultDevice();
    return std::string("vestra ") + VESTRA_CLI_VERSION + " (" +
           (device == referenceDevice ? "CPU reference only" : device + " device") + ")";
}

}  // namespace

TransformerSpec defaultModelSpec() {
    TransformerSpec spec = defaultSpec();
    finishSpec(spec, ModelFlags{});
    return spec;
}

int runCommandLine(int argc, char** argv) {
    CLI::App app("vestra: train a small byte-level transformer on a text, then sample, evaluate and inspect it",
                 "vestra");
    app.require_subcommand(1);
    int status = 0;
    TrainOptions train;
    ModelCommandOptions model;
    app.set_version_flag("--version", versionLine());
    addTrain(app, train, status);
    addModelCommands(app, model, status);
    if (argc > 1 && argv[1][0] != '-') {
        std::vector<std::string> commands;
        for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
            commands.push_back(command->get_name());
        }
        if (std::find(commands.begin(), commands.end(), argv[1]) == commands.end()) {
            std::cerr << "vestra: " << unknownCommandMessage(argv[1], commands) << '\n';
            return exitUsage;
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        return app.exit(version);
    } catch (const CLI::ParseError& error) {
        std::cerr << "vestra: " << usageMessage(error) << " (see vestra --help)\n";
        return exitUsage;
    } catch (const UsageError& error) {
        std::cerr << "vestra: " << error.what() << '\n';
        return exitUsage;
    }
    return status;
}

}  // namespace Halcyne::Core::Vestra::Cli
