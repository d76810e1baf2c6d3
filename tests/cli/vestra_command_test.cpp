// Training, resuming and refusing: the vestra executable as a user runs it (support/vestra_command.h).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "cli/initial_weights.h"
#include "cli/run_settings.h"
#include "support/vestra_command.h"
#include "training/named_tensors.h"
#include "training/transformer_trainer.h"

namespace Halcyne::Core::Vestra {
namespace {

using namespace Testing;

TEST_F(VestraCommand, StoppedAndResumedRunEndsWithTheSameBytes) {
    ASSERT_EQ(vestra("train text.txt --run straight" + tinyRun).status, 0);
    const Outcome stopped = vestra("train text.txt --run resumed --stop-after 2" + tinyRun);
    ASSERT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_NE(stopped.out.find("stopped after step 2 of 6"), std::string::npos) << stopped.out;
    // A crash after step 3 can leave a whole metrics record past the checkpoint, and a line cut short;
    // the resumed run drops both.
    spit(root_ / "resumed/metrics.jsonl",
         slurp(root_ / "resumed/metrics.jsonl") +
             "{\"step\":3,\"loss\":9,\"learning_rate\":0.001,\"gradient_norm\":1,\"clip_scale\":1,"
             "\"tokens_per_second\":1,\"seconds\":1}\n{\"step\":4,\"lo");
    const Outcome resumed = vestra("train --resume resumed");
    ASSERT_EQ(resumed.status, 0) << resumed.err;

    for (const char* file : {"checkpoint.vtt", "model.vtm"}) {
        EXPECT_EQ(slurp(root_ / "straight" / file), slurp(root_ / "resumed" / file)) << file;
    }
    std::vector<std::uint64_t> steps;
    for (const auto& record : metricsRecords(root_ / "resumed/metrics.jsonl")) {
        steps.push_back(record.at("step").get<std::uint64_t>());
        EXPECT_NE(record.at("loss"), 9.0);
    }
    EXPECT_EQ(steps, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_NE(slurp(root_ / "resumed/loss.svg").find("<polyline"), std::string::npos);

    const Outcome inspect = vestra("inspect resumed/checkpoint.vtt");
    EXPECT_EQ(inspect.status, 0) << inspect.err;
    EXPECT_NE(inspect.out.find("steps       6"), std::string::npos) << inspect.out;
    EXPECT_NE(inspect.out.find("(matches training.json)"), std::string::npos) << inspect.out;

    // The rate after a resume counts the steps since the resume. Step 7 runs no validation, so its
    // seconds are about its training time and rate * seconds about one step's 32 tokens, where six
    // earlier steps counted in would make it seven steps' worth.
    ASSERT_EQ(vestra("train --resume straight --steps 8").status, 0);
    const auto seventh = metricsRecords(root_ / "straight/metrics.jsonl").at(6);
    ASSERT_EQ(seventh.at("step"), 7);
    const double counted = seventh.at("tokens_per_second").get<double>() * seventh.at("seconds").get<double>();
    EXPECT_GT(counted, 31.9);
    EXPECT_LT(counted, 3 * 32.0);
}

// Moving the end of a finished run replans its decay: the steps past the old end learn, and an
// extended run stopped anywhere, even between writing its settings and its first checkpoint under
// the new plan, resumes to the bytes of one that ran straight through.
TEST_F(VestraCommand, TrainingLongerKeepsLearningAndRepeatsBitForBit) {
    const std::string run = tinyRun + " --warmup 2";
    ASSERT_EQ(vestra("train text.txt --run straight" + run).status, 0);
    const std::string planned = slurp(root_ / "straight/checkpoint.vtt");
    fs::copy(root_ / "straight", root_ / "stopped");
    fs::copy(root_ / "straight", root_ / "between");

    const Outcome longer = vestra("train --resume straight --steps 12");
    ASSERT_EQ(longer.status, 0) << longer.err;
    EXPECT_NE(longer.out.find("continuing straight after step 6 of 12 on cpu: 6 steps, 192 tokens to go (the end "
                              "moved: the decay now reaches zero at step 12)"),
              std::string::npos)
        << longer.out;
    EXPECT_NE(longer.out.find("done: 12 steps"), std::string::npos) << longer.out;
    const auto records = metricsRecords(root_ / "straight/metrics.jsonl");
    ASSERT_EQ(records.size(), 12u);
    for (std::size_t step = 7; step < 12; ++step) {
        EXPECT_GT(records[step - 1].at("learning_rate").get<double>(), 0.0) << "step " << step;
    }
    EXPECT_LT(records[11].at("validation_loss").get<double>(), records[5].at("validation_loss").get<double>());
    EXPECT_NE(vestra("inspect straight/checkpoint.vtt").out.find("(matches training.json)"), std::string::npos);

    ASSERT_EQ(vestra("train --resume stopped --steps 12 --stop-after 9").status, 0);
    ASSERT_EQ(vestra("train --resume stopped").status, 0);
    ASSERT_EQ(vestra("train --resume between --steps 12 --stop-after 7").status, 0);
    spit(root_ / "between/checkpoint.vtt", planned);
    const Outcome between = vestra("train --resume between");
    ASSERT_EQ(between.status, 0) << between.err;
    for (const char* directory : {"stopped", "between"}) {
        EXPECT_EQ(slurp(root_ / directory / "checkpoint.vtt"), slurp(root_ / "straight/checkpoint.vtt")) << directory;
    }
}

TEST_F(VestraCommand, BadInputIsOneLineAndChangesNothing) {
    ASSERT_EQ(vestra("train text.txt --run run" + tinyRun).status, 0);
    ASSERT_EQ(vestra("train text.txt --run other --seed 2" + tinyRun).status, 0);
    spit(root_ / "empty.txt", "");
    spit(root_ / "short.txt", "too short for a window of seventeen bytes");
    std::string textMoved = slurp(root_ / "text.txt");
    textMoved[0] = 'a';
    spit(root_ / "edited.txt", textMoved);
    fs::create_directories(root_ / "busy");
    spit(root_ / "busy/notes.txt", "someone else's");
    std::string corrupt = slurp(root_ / "run/model.vtm");
    corrupt[corrupt.size() / 2] ^= 1;
    spit(root_ / "run/corrupt.vtm", corrupt);
    fs::create_directories(root_ / "swapped");
    for (const char* file : {"model.json", "training.json"}) {
        fs::copy_file(root_ / "run" / file, root_ / "swapped" / file);
    }
    fs::copy_file(root_ / "other/checkpoint.vtt", root_ / "swapped/checkpoint.vtt");
    fs::copy_file(root_ / "run/model.vtm", root_ / "lone.vtm");
    fs::copy(root_ / "run", root_ / "shortened");
    nlohmann::json shortened = nlohmann::json::parse(slurp(root_ / "shortened/training.json"));
    shortened["run"]["steps"] = 4;
    spit(root_ / "shortened/training.json", shortened.dump());

    struct Case {
        std::string arguments;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"train missing.txt --run new" + tinyRun, 1, "cannot read missing.txt"},
        {"train empty.txt --run new" + tinyRun, 1, "empty.txt is empty"},
        {"train . --run new" + tinyRun, 1, "Is a directory"},
        {"train short.txt --run new" + tinyRun, 1, "too short: 41 bytes"},
        {"train text.txt --run run" + tinyRun, 1, "run already holds a run: continue it with --resume run"},
        {"train text.txt --run busy" + tinyRun, 1, "busy is not empty"},
        {"train --resume busy", 1, "busy holds no run (model.json is missing)"},
        {"train --resume swapped", 1, "was written under another training configuration"},
        {"train edited.txt --resume run --steps 8", 1, "edited.txt is not the text this run trains on"},
        {"train --resume run --steps 5", 2, "--steps 5: the run has taken 6 steps already"},
        {"train --resume shortened", 1, "shortened/training.json: steps 4 is below the checkpoint's 6"},
        {"train --resume run --lr 0.5", 2, "--lr: is fixed when a run starts; it cannot change on --resume"},
        {"train text.txt --run new --steps 0" + tinyRun, 2, "--steps: must be a whole number of at least 1"},
        {"train text.txt --run new --dim 9 --heads 2", 2, "--dim: must be a multiple of --heads"},
        {"train text.txt --run new --dim 8 --heads 2 --kv-heads 3", 2,
         "invalid model: kv_heads must not exceed query_heads"},
        {"train text.txt --run new --bf16 --device reference" + tinyRun, 2, "--bf16: needs the device trainer"},
        {"train text.txt --run new --frobnicate", 2, "unexpected argument: --frobnicate"},
        {"train text.txt", 2, "needs TEXT_FILE and --run DIR, or --resume DIR"},
        {"", 2, "a command is needed: train, sample, eval or inspect"},
        {"train text.txt --run new --steps 5 --steps 6", 2, "--steps: given more than once"},
        {"sample run/corrupt.vtm --prompt x", 1, "run/corrupt.vtm: VTM checksum mismatch"},
        {"eval run/corrupt.vtm text.txt", 1, "run/corrupt.vtm: VTM checksum mismatch"},
        {"sample lone.vtm --prompt x", 1, "no model specification beside it"},
        {"sample text.txt --prompt x", 1, "text.txt: unknown VTM artifact format"},
        {"sample run/checkpoint.vtt --prompt x", 1, "is a checkpoint, which does not name its model"},
        {"sample run --prompt x --temperature -1", 2, "--temperature: must be a number of at least 0"},
        {"inspect text.txt", 1, "neither a VTT checkpoint nor a VTM artifact"},
        {"inspect run/corrupt.vtm", 1, "run/corrupt.vtm: VTM checksum mismatch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const auto before = snapshot();
        const Outcome outcome = vestra(c.arguments);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
        EXPECT_EQ(outcome.err.rfind("vestra: ", 0), 0u) << outcome.err;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
        EXPECT_TRUE(snapshot() == before) << "files changed";
    }
}

// A failure says what happened on which device, with the system's reason, and what to change; the
// directory it leaves is no dead end.
TEST_F(VestraCommand, FailuresSayWhatToDoAboutThem) {
    for (const char* device : {"cpu", "reference"}) {
        SCOPED_TRACE(device);
        const Outcome diverged = vestra("train text.txt --run diverged_" + std::string(device) + " --device " + device +
                                        " --lr 1e300 --warmup 0" + tinyRun);
        EXPECT_EQ(diverged.status, 1);
        EXPECT_NE(diverged.err.find("training diverged at step "), std::string::npos) << diverged.err;
        EXPECT_NE(diverged.err.find(std::string(device) == "cpu" ? "the CPU device" : "the CPU reference trainer"),
                  std::string::npos)
            << diverged.err;
        EXPECT_NE(diverged.err.find("a lower --lr"), std::string::npos) << diverged.err;
        EXPECT_EQ(diverged.err.find("CUDA"), std::string::npos) << diverged.err;
    }

    // Files beyond 8 KiB fail to grow: the settings are written, the first checkpoint is not.
    const Outcome full = vestra("train text.txt --run full" + tinyRun, "trap '' XFSZ; ulimit -f 16;");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("full/checkpoint.vtt: cannot flush temporary VTT checkpoint: File too large"),
              std::string::npos)
        << full.err;
    EXPECT_FALSE(fs::exists(root_ / "full/checkpoint.vtt.tmp"));
    const Outcome again = vestra("train text.txt --run full" + tinyRun);
    EXPECT_EQ(again.status, 0) << again.err;
}

TEST_F(VestraCommand, SamplesRepeatWithTheirSeed) {
    ASSERT_EQ(vestra("train text.txt --run run" + tinyRun).status, 0);
    const auto sample = [&](const std::string& options) {
        const Outcome outcome = vestra("sample run --prompt 'And the' --tokens 40 " + options);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        return outcome.out;
    };
    const std::string first = sample("--seed 5");
    EXPECT_EQ(first.rfind("And the", 0), 0u);
    EXPECT_EQ(first.size(), 7u + 40u + 1u);
    EXPECT_EQ(sample("--seed 5"), first);
    EXPECT_NE(sample("--seed 6"), first);
    // The exported artifact holds the checkpoint's weights exactly: the same text from either.
    EXPECT_EQ(vestra("sample run/model.vtm --prompt 'And the' --tokens 40 --seed 5").out, first);
}

// Wherever a run is stopped, the next command goes on: a run killed before its first checkpoint
// leaves a directory that takes the run again (and a resume says so), and a closed terminal
// (SIGHUP) stops a run as Ctrl-C does, with a checkpoint that resumes; and a second trainer on a
// running run is turned away.
TEST_F(VestraCommand, AStoppedRunIsNeverADeadEnd) {
    ASSERT_EQ(vestra("train text.txt --run early" + tinyRun).status, 0);
    fs::remove(root_ / "early/checkpoint.vtt");
    fs::remove(root_ / "early/model.vtm");
    const Outcome resumed = vestra("train --resume early");
    EXPECT_EQ(resumed.status, 1);
    EXPECT_NE(resumed.err.find("early holds a run stopped before its first checkpoint: start it again with vestra "
                               "train TEXT_FILE --run early"),
              std::string::npos)
        << resumed.err;
    EXPECT_EQ(vestra("train text.txt --run early" + tinyRun).status, 0);
    spit(root_ / "early/notes.txt", "mine");
    fs::remove(root_ / "early/checkpoint.vtt");
    EXPECT_EQ(vestra("train text.txt --run early" + tinyRun).status, 1);  // a file not the run's: taken
    EXPECT_EQ(slurp(root_ / "early/notes.txt"), "mine");

    const std::string endless = tinyRun.substr(0, tinyRun.find(" --steps")) + " --steps 100000";
    const std::string script = "cd '" + root_.string() + "' && { '" VESTRA_CLI_PATH "' train text.txt --run hup" +
                               endless +
                               " >hup.txt 2>&1 & job=$!; "
                               "for i in $(seq 300); do [ -s hup/metrics.jsonl ] && break; sleep 0.1; done; "
                               "'" VESTRA_CLI_PATH
                               "' train --resume hup --steps 1 >second.txt 2>&1; echo $? >>second.txt; "
                               "kill -HUP $job; wait $job; echo $? >>hup.txt; }";
    ASSERT_EQ(std::system(script.c_str()), 0);
    const std::string hup = slurp(root_ / "hup.txt");
    EXPECT_NE(hup.find("checkpoint saved. Continue with: vestra train --resume hup"), std::string::npos) << hup;
    EXPECT_EQ(hup.substr(hup.size() - 2), "0\n");
    EXPECT_EQ(vestra("inspect hup/checkpoint.vtt").status, 0);
    // One trainer per run: a second one, while the first trains, is refused in one line.
    const std::string second = slurp(root_ / "second.txt");
    EXPECT_NE(second.find("vestra: hup is in use by another vestra (process "), std::string::npos) << second;
    EXPECT_EQ(second.substr(second.size() - 2), "1\n");
    EXPECT_EQ(std::count(second.begin(), second.end(), '\n'), 2);
}

// Links planted in a run directory never redirect a write: the temporary of a replaced file and
// the metrics file a resume appends to are the run's own files, and what the links point to stays.
TEST_F(VestraCommand, ARunWritesNothingThroughALink) {
    ASSERT_EQ(vestra("train text.txt --run run --stop-after 2" + tinyRun).status, 0);
    spit(root_ / "victim.txt", "keep");
    for (const char* name : {"loss.svg.tmp", "model.json.tmp", "metrics.jsonl"}) {
        fs::remove(root_ / "run" / name);
        fs::create_symlink(root_ / "victim.txt", root_ / "run" / name);
    }
    const Outcome resumed = vestra("train --resume run");
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(slurp(root_ / "victim.txt"), "keep");
    EXPECT_FALSE(fs::is_symlink(root_ / "run/metrics.jsonl"));
    EXPECT_EQ(metricsRecords(root_ / "run/metrics.jsonl").back()["step"], 6);
}

// A run directory's files are untrusted input. Each edit here once crashed, hung or took gigabytes;
// each now ends in one line naming the file it is in and status 1, with the run unchanged.
TEST_F(VestraCommand, EditedRunFilesAreRefusedInOneLine) {
    ASSERT_EQ(vestra("train text.txt --run run --stop-after 3" + tinyRun).status, 0);
    const std::string model = slurp(root_ / "run/model.json");
    const std::string training = slurp(root_ / "run/training.json");
    const auto edited = [](std::string text, const std::string& from, const std::string& to) {
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');  // 200 KB
    // Without the fingerprint of its fixed settings (as a run from before it was kept), the file is
    // still held to the command line's rules.
    const std::size_t fingerprint = training.find(",\n    \"started_with\"");
    const std::string unfingerprinted =
        training.substr(0, fingerprint) + training.substr(training.find('\n', fingerprint + 2));

    const struct {
        const char* file;
        std::string content;
        const char* command;
        std::string message;
    } cases[] = {
        {"model.json", deep, "train --resume run", "run/model.json: nested deeper than 32 levels"},
        {"model.json", deep, "sample run --prompt x", "run/model.json: nested deeper than 32 levels"},
        {"training.json", deep, "train --resume run", "run/training.json: nested deeper than 32 levels"},
        {"training.json", deep, "eval run text.txt", "run/training.json: nested deeper than 32 levels"},
        {"model.json", edited(model, "\"layers\": 1,", "\"layers\": 1000,"), "train --resume run",
         "run/checkpoint.vtt holds 151760 bytes, but run/model.json describes a model of layers 1000"},
        {"model.json", edited(model, "\"layers\": 1,", "\"layers\": 1000,"), "sample run --prompt x",
         "run/checkpoint.vtt holds 151760 bytes, but run/model.json describes a model of layers 1000"},
        {"model.json", edited(model, "\"layers\": 1,", "\"layers\": 4294967295,"), "train --resume run",
         "run/model.json describes a model of layers 4294967295"},
        {"training.json", edited(unfingerprinted, "\"accumulation\": 1", "\"accumulation\": 4294967295"),
         "train --resume run", "run/training.json: batch x accumulation must be at most 1048576 windows per step"},
        {"training.json", edited(training, "\"accumulation\": 1", "\"accumulation\": 2"), "train --resume run",
         "run/training.json: holdout, batch, accumulation or validation_tokens differ from the values the run "
         "started with"},
        {"training.json", edited(unfingerprinted, "\"validation_tokens\": 2048", "\"validation_tokens\": 0"),
         "train --resume run", "run/training.json: validation_tokens must be at least 1"},
        {"training.json", edited(training, "\"steps\": 6", "\"steps\": 2"), "train --resume run",
         "run/training.json: steps 2 is below the checkpoint's 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " with " + c.message);
        spit(root_ / "run" / c.file, c.content);
        const auto before = snapshot();
        const Outcome outcome = vestra(c.command);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
        EXPECT_NE(outcome.err.find("vestra: " + c.message), std::string::npos) << outcome.err;
        EXPECT_TRUE(snapshot() == before) << "files changed";
        spit(root_ / "run" / c.file, c.file == std::string("model.json") ? model : training);
    }
    EXPECT_EQ(vestra("train --resume run").status, 0);
}

// A stop in the middle of a long step ends the run within a second, with the open window in its
// checkpoint; the resume finishes that window where it stopped and ends with the bytes of a run
// that went straight through. Metrics records with steps that are not whole numbers in order, or
// nested past any record's depth, are dropped on the way.
TEST_F(VestraCommand, ALongStepStopsBetweenItsBatches) {
    // The reference trainer: the stop is the command's, and its batches cost the same in every build
    // (checking mode would make 6000 device batches take half an hour).
    const std::string longSteps =
        tinyRun.substr(0, tinyRun.find(" --steps")) + " --steps 2 --accumulation 3000 --device reference";
    ASSERT_EQ(vestra("train text.txt --run straight" + longSteps).status, 0);
    const std::string script = "cd '" + root_.string() + "' && { '" VESTRA_CLI_PATH "' train text.txt --run stopped" +
                               longSteps +
                               " >stopped.txt 2>&1 & job=$!; sleep 0.3; start=$(date +%s%N); kill -TERM $job; "
                               "wait $job; echo $? $(( ($(date +%s%N) - start) / 1000000 )) >status.txt; }";
    ASSERT_EQ(std::system(script.c_str()), 0);
    std::istringstream status(slurp(root_ / "status.txt"));
    int code = -1;
    long milliseconds = -1;
    status >> code >> milliseconds;
    EXPECT_EQ(code, 0) << slurp(root_ / "stopped.txt");
    EXPECT_LE(milliseconds, 1000);
    EXPECT_NE(slurp(root_ / "stopped.txt").find("stopped after step 0 of 2"), std::string::npos);
    const Outcome inspect = vestra("inspect stopped/checkpoint.vtt");
    EXPECT_EQ(inspect.out.find("window      0 batches"), std::string::npos) << inspect.out;

    std::string deep = "{\"step\":1,\"loss\":";
    for (int i = 0; i < 100000; ++i) {
        deep += "[";
    }
    const std::string record =
        ",\"loss\":9,\"learning_rate\":0.001,\"gradient_norm\":1,\"clip_scale\":1,"
        "\"tokens_per_second\":1,\"seconds\":1}\n";
    spit(root_ / "stopped/metrics.jsonl", "{\"step\":1e300" + record + "{\"step\":1.5" + record + deep + "\n");
    const Outcome resumed = vestra("train --resume stopped");
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(slurp(root_ / "stopped/checkpoint.vtt"), slurp(root_ / "straight/checkpoint.vtt"));
    std::vector<std::uint64_t> steps;
    for (const auto& line : metricsRecords(root_ / "stopped/metrics.jsonl")) {
        steps.push_back(line.at("step").get<std::uint64_t>());
    }
    EXPECT_EQ(steps, (std::vector<std::uint64_t>{1, 2}));
}

// Two processes under mpirun train one model: step for step as one process would (the sums meet in
// another order, so within a tolerance), bit for bit from one two-process run to the next, and a
// checkpoint of either resumes under the other.
TEST_F(VestraCommand, TwoProcessesTrainTheModelOneWould) {
#if !defined(VESTRA_MPIEXEC)
    GTEST_SKIP() << "built without MPI";
#else
    // Open MPI keeps some allocations to the end of a process, which the sanitizer build's leak check
    // would report as the processes' own; it runs as root here only with both variables set; and in
    // a container that forbids one process to read another's memory its shared-memory transport must
    // copy through the shared segment.
    const std::string twoRanks =
        "ASAN_OPTIONS=detect_leaks=0 OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 "
        "OMPI_MCA_btl_vader_single_copy_mechanism=none '" VESTRA_MPIEXEC "' -q --oversubscribe -np 2";
    const std::string run = tinyRun + " --accumulation 4";
    ASSERT_EQ(vestra("train text.txt --run one" + run).status, 0);
    const Outcome two = vestra("train text.txt --run two" + run, twoRanks);
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(two.err, "");
    ASSERT_EQ(vestra("train text.txt --run again" + run, twoRanks).status, 0);
    EXPECT_EQ(slurp(root_ / "again/checkpoint.vtt"), slurp(root_ / "two/checkpoint.vtt"));
    // A job of one rank goes through the reduction (on GPUs, NCCL's), which leaves its sums as they are.
    const std::string oneRank = twoRanks.substr(0, twoRanks.size() - 1) + "1";
    ASSERT_EQ(vestra("train text.txt --run solo" + run, oneRank).status, 0);
    EXPECT_EQ(slurp(root_ / "solo/checkpoint.vtt"), slurp(root_ / "one/checkpoint.vtt"));
    // Stopped under one rank count, resumed under the other.
    ASSERT_EQ(vestra("train text.txt --run halfTwo --stop-after 3" + run, twoRanks).status, 0);
    ASSERT_EQ(vestra("train --resume halfTwo").status, 0);
    ASSERT_EQ(vestra("train text.txt --run halfOne --stop-after 3" + run).status, 0);
    ASSERT_EQ(vestra("train --resume halfOne", twoRanks).status, 0);
    // The weights a run's checkpoint holds, read through the CPU trainer.
    const auto weightsOf = [&](const std::string& run) {
        const Cli::RunSettings settings =
            Cli::readRunSettings(root_ / run / "model.json", root_ / run / "training.json");
        TransformerTrainer trainer(settings.spec, Cli::initialWeights(settings.spec, settings.config.seed),
                                   settings.config);
        const std::string image = slurp(root_ / run / "checkpoint.vtt");
        trainer.restoreCheckpoint(std::span(reinterpret_cast<const std::uint8_t*>(image.data()), image.size()));
        return trainer.weights();
    };
    const TransformerWeights oneWeights = weightsOf("one");
    const auto expected = metricsRecords(root_ / "one/metrics.jsonl");
    for (const char* other : {"two", "halfTwo", "halfOne"}) {
        const TransformerWeights weights = weightsOf(other);
        const auto want = namedTensors(oneWeights);
        const auto got = namedTensors(weights);
        for (std::size_t t = 0; t < want.size(); ++t) {
            for (std::size_t i = 0; i < want[t].tensor.values.size(); ++i) {
                const double w = want[t].tensor.values[i];
                ASSERT_NEAR(got[t].tensor.values[i], w, 1e-10 * std::max(std::abs(w), 1e-3)) << other << " " << t;
            }
        }
        const auto records = metricsRecords(root_ / other / "metrics.jsonl");
        ASSERT_EQ(records.size(), expected.size()) << other;
        for (std::size_t i = 0; i < records.size(); ++i) {
            for (const char* field : {"loss", "gradient_norm"}) {
                const double want = expected[i][field];
                EXPECT_NEAR(records[i][field].get<double>(), want, 1e-10 * std::abs(want)) << other << " " << field;
            }
        }
    }
    // A rank count that does not divide the window is refused in one line before anything is made.
    const Outcome refused = vestra("train text.txt --run three" + tinyRun + " --accumulation 3", twoRanks);
    EXPECT_NE(refused.status, 0);
    EXPECT_EQ(refused.err,
              "vestra: --accumulation 3 does not split over 2 processes: the number of processes must "
              "divide the batches of a step\n");
    EXPECT_FALSE(fs::exists(root_ / "three"));
    // Unless told otherwise, a new run takes one batch per process.
    ASSERT_EQ(vestra("train text.txt --run shared" + tinyRun, twoRanks).status, 0);
    EXPECT_EQ(nlohmann::json::parse(slurp(root_ / "shared/training.json"))["run"]["accumulation"], 2);
    // A process killed in the middle ends the job within seconds, and the last checkpoint resumes.
    // (The newest process whose command line is the unquoted one is a rank, not mpirun or the shell.)
    const std::string endless =
        tinyRun.substr(0, tinyRun.find(" --steps")) + " --steps 100000 --accumulation 2 --checkpoint-every 1";
    const std::string script = "cd '" + root_.string() + "' && { " + twoRanks +
                               " '" VESTRA_CLI_PATH "' train text.txt --run killed" + endless +
                               " >/dev/null 2>&1 & job=$!; "
                               "for i in $(seq 300); do [ -s killed/metrics.jsonl ] && break; sleep 0.1; done; "
                               "pkill -9 -n -f '" VESTRA_CLI_PATH
                               " train text.txt --run killed'; start=$(date +%s); "
                               "wait $job; echo $? $(( $(date +%s) - start )) >killed.txt; }";
    ASSERT_EQ(std::system(script.c_str()), 0);
    std::istringstream killed(slurp(root_ / "killed.txt"));
    int status = 0;
    int seconds = 0;
    killed >> status >> seconds;
    EXPECT_NE(status, 0);
    EXPECT_LE(seconds, 10);
    EXPECT_EQ(vestra("inspect killed/checkpoint.vtt").status, 0);
#endif
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
