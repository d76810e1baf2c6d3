// What vestra offers besides training and resuming, as a user meets it: the sampling options, the
// lines a run and an evaluation show as they go, a run started from a trained model, the version,
// and the answer to a mistyped command.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/model_files.h"
#include "cli/run_trainer.h"
#include "support/compare.h"
#include "support/vestra_command.h"
#include "training/named_tensors.h"

namespace Halcyne::Core::Vestra {
namespace {

using namespace Testing;

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

struct Refusal {
    std::string options;
    int status;
    std::string message;
};

TEST_F(VestraCommand, SampleTakesItsPromptCountAndTopP) {
    ASSERT_EQ(vestra("train text.txt --run run" + tinyRun).status, 0);
    const auto sample = [&](const std::string& options) {
        const Outcome outcome = vestra("sample run --tokens 30 " + options);
        EXPECT_EQ(outcome.status, 0) << options << ": " << outcome.err;
        return outcome.out;
    };
    // Each of several samples is the one its own seed draws alone.
    std::string expected;
    for (int i = 0; i < 3; ++i) {
        const std::string seed = std::to_string(5 + i);
        expected += "--- sample " + std::to_string(i + 1) + " of 3 (seed " + seed + ") ---\n" +
                    sample("--prompt 'And the' --seed " + seed);
    }
    EXPECT_EQ(sample("--prompt 'And the' --seed 5 --count 3"), expected);

    // Without a prompt the model continues a newline, which is not written out; a prompt file's
    // text is continued as --prompt's is.
    spit(root_ / "newline.txt", "\n");
    spit(root_ / "prompt.txt", "And the");
    const std::string unprompted = sample("--seed 5");
    EXPECT_EQ(unprompted.size(), 31u);
    EXPECT_EQ(sample("--prompt-file newline.txt --seed 5"), "\n" + unprompted);
    EXPECT_EQ(sample("--prompt-file prompt.txt --seed 5"), sample("--prompt 'And the' --seed 5"));

    // A p that keeps only the likeliest byte draws what temperature 0 does, whatever the seed; a p of
    // 1 keeps everything top-k kept.
    const std::string greedy = sample("--temperature 0");
    EXPECT_EQ(sample("--top-p 0.000001 --seed 2"), greedy);
    EXPECT_EQ(sample("--top-p 0.000001 --seed 3"), greedy);
    EXPECT_EQ(sample("--top-p 1 --seed 5"), unprompted);

    const std::vector<Refusal> refusals = {
        {"--prompt x --prompt-file prompt.txt", 2, "--prompt excludes --prompt-file"},
        {"--prompt-file missing.txt", 1, "cannot read missing.txt"},
        {"--top-p 0", 2, "--top-p: must be a number above 0 and at most 1"},
        {"--top-p 1.5", 2, "--top-p: must be a number above 0 and at most 1"},
        {"--count 0", 2, "--count: must be a whole number of at least 1"},
    };
    for (const Refusal& r : refusals) {
        const Outcome outcome = vestra("sample run " + r.options);
        EXPECT_EQ(outcome.status, r.status) << r.options;
        EXPECT_NE(outcome.err.find(r.message), std::string::npos) << r.options << ": " << outcome.err;
        EXPECT_EQ(outcome.out, "") << r.options;
    }
}

// A run opens with one line saying what it trains, and --sample-every writes samples on its log
// without changing its course by a bit: not under mpirun either, where rank 0 alone samples.
TEST_F(VestraCommand, TrainSaysWhatItTrainsAndSamplesWithoutChangingIt) {
    const Outcome plain = vestra("train text.txt --run plain" + tinyRun);
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out.substr(0, plain.out.find('\n')),
              "training 4728 parameters on " + Cli::defaultDevice() +
                  ": 32 tokens per step, 192 in 6 steps (0.1 passes over 2732 training tokens), from seed 1; run in "
                  "plain");
    EXPECT_EQ(occurrences(plain.out, "sample at step"), 0u);

    const Outcome sampled = vestra("train text.txt --run sampled --sample-every 2" + tinyRun);
    ASSERT_EQ(sampled.status, 0) << sampled.err;
    for (const char* step : {"2", "4", "6"}) {
        EXPECT_NE(sampled.out.find(std::string("\nsample at step ") + step + ": \""), std::string::npos) << sampled.out;
    }
    EXPECT_EQ(occurrences(sampled.out, "sample at step"), 3u);
    for (const char* file : {"checkpoint.vtt", "model.vtm", "model.json", "training.json"}) {
        EXPECT_EQ(slurp(root_ / "sampled" / file), slurp(root_ / "plain" / file)) << file;
    }
    // Sampling is no setting of the run: a resume may ask for it.
    const Outcome resumed = vestra("train --resume sampled --steps 8 --sample-every 4");
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(occurrences(resumed.out, "sample at step 8: \""), 1u) << resumed.out;

#if defined(VESTRA_MPIEXEC)
    const std::string twoRanks =
        "ASAN_OPTIONS=detect_leaks=0 OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 "
        "OMPI_MCA_btl_vader_single_copy_mechanism=none '" VESTRA_MPIEXEC "' -q --oversubscribe -np 2";
    const std::string job = tinyRun + " --accumulation 2";
    ASSERT_EQ(vestra("train text.txt --run jobPlain" + job, twoRanks).status, 0);
    const Outcome jobSampled = vestra("train text.txt --run jobSampled --sample-every 3" + job, twoRanks);
    ASSERT_EQ(jobSampled.status, 0) << jobSampled.err;
    EXPECT_EQ(occurrences(jobSampled.out, "sample at step"), 2u) << jobSampled.out;
    EXPECT_EQ(occurrences(jobSampled.out, " parameters on "), 1u) << jobSampled.out;
    EXPECT_EQ(slurp(root_ / "jobSampled/checkpoint.vtt"), slurp(root_ / "jobPlain/checkpoint.vtt"));
#endif
}

TEST_F(VestraCommand, TrainStartsFromATrainedModel) {
    ASSERT_EQ(vestra("train text.txt --run base" + tinyRun).status, 0);
    std::string other;
    while (other.size() < 2000) {
        other += "Let there be light: and there was light.\n";
    }
    spit(root_ / "other.txt", other);
    fs::copy_file(root_ / "base/model.vtm", root_ / "lone.vtm");

    // At a vanishing rate, one step leaves the weights where the model had them.
    const Outcome tuned = vestra(
        "train other.txt --run tuned --init lone.vtm --model-json base/model.json --steps 1 --lr 1e-12 --batch 2");
    ASSERT_EQ(tuned.status, 0) << tuned.err;
    EXPECT_NE(tuned.out.find("from weights of lone.vtm; run in tuned\n"), std::string::npos) << tuned.out;
    const auto base = Cli::loadModel(root_ / "base/model.vtm", std::nullopt);
    const auto start = Cli::loadModel(root_ / "tuned", std::nullopt);
    const auto want = namedTensors(base->weights());
    const auto got = namedTensors(start->weights());
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t t = 0; t < want.size(); ++t) {
        EXPECT_TRUE(tensorsNear(got[t].tensor, want[t].tensor, 1e-9)) << want[t].name;
    }

    // The run's first checkpoint holds the model's weights: a resume needs nothing of it.
    ASSERT_EQ(vestra("train other.txt --run whole --init base --steps 4 --batch 2").status, 0);
    ASSERT_EQ(vestra("train other.txt --run half --init base --steps 4 --batch 2 --stop-after 2").status, 0);
    fs::rename(root_ / "base", root_ / "gone");
    const Outcome resumed = vestra("train --resume half");
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(slurp(root_ / "half/checkpoint.vtt"), slurp(root_ / "whole/checkpoint.vtt"));

    const std::vector<Refusal> refusals = {
        {"--init gone --dim 8", 2, "--dim: the --init model fixes the model's shape"},
        {"--init gone --tied", 2, "--tied: the --init model fixes the model's shape"},
        {"--model-json gone/model.json", 2, "--model-json requires --init"},
        {"--init lone.vtm", 1, "lone.vtm: no model specification beside it"},
    };
    for (const Refusal& r : refusals) {
        const Outcome outcome = vestra("train other.txt --run refused " + r.options);
        EXPECT_EQ(outcome.status, r.status) << r.options;
        EXPECT_NE(outcome.err.find(r.message), std::string::npos) << r.options << ": " << outcome.err;
        EXPECT_FALSE(fs::exists(root_ / "refused")) << r.options;
    }
}

// On a terminal an evaluation shows how far it has come and wipes that line before its result;
// anywhere else it writes its result and nothing more.
TEST_F(VestraCommand, EvalShowsProgressOnlyOnATerminal) {
    ASSERT_EQ(vestra("train text.txt --run run" + tinyRun).status, 0);
    const Outcome piped = vestra("eval run text.txt --batch 1");
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(piped.out.rfind("text.txt: 3035 tokens, mean loss ", 0), 0u) << piped.out;
    EXPECT_EQ(occurrences(piped.out, "\n"), 1u);

    if (std::system("command -v script >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no script(1) to give the command a terminal";
    }
    const std::string command = "cd '" + root_.string() +
                                "' && script -qec \"'" VESTRA_CLI_PATH
                                "' eval run text.txt --batch 1\" /dev/null >terminal.txt 2>&1 </dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string terminal = slurp(root_ / "terminal.txt");
    const std::size_t done = terminal.find("\rscoring text.txt: 3035 of 3035 tokens (100%)");
    ASSERT_NE(done, std::string::npos) << terminal;
    const std::size_t result = terminal.find("\rtext.txt: 3035 tokens, mean loss ", done);
    ASSERT_NE(result, std::string::npos) << terminal;
    EXPECT_EQ(terminal.find_first_not_of(' ', terminal.find('\r', done + 1) + 1), result) << terminal;
    EXPECT_EQ(piped.out.substr(0, piped.out.size() - 1), terminal.substr(result + 1, piped.out.size() - 1));
}

TEST_F(VestraCommand, CommandLineNamesItsVersionAndTheCommandMeant) {
    const Outcome version = vestra("--version");
    EXPECT_EQ(version.status, 0);
    const std::string device = Cli::defaultDevice();
    const std::string build = device == Cli::referenceDevice ? "CPU reference only" : device + " device";
    EXPECT_EQ(version.out, "vestra " VESTRA_VERSION " (" + build + ")\n");

    const std::vector<std::pair<std::string, std::string>> typos = {
        {"trian", "; did you mean 'train'?"},      // two letters swapped
        {"samples", "; did you mean 'sample'?"},   // one too many
        {"evl", "; did you mean 'eval'?"},         // one missing
        {"inspekt", "; did you mean 'inspect'?"},  // one replaced
        {"frobnicate", " (commands: train, sample, eval, inspect)"},
    };
    for (const auto& [typed, answer] : typos) {
        const Outcome outcome = vestra(typed + " text.txt --run run");
        EXPECT_EQ(outcome.status, 2) << typed;
        EXPECT_EQ(outcome.err, "vestra: unknown command '" + typed + "'" + answer + "\n") << typed;
        EXPECT_FALSE(fs::exists(root_ / "run"));
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
