// What a run holds in memory: refused up front when it cannot fit, and measured as the system
// counts it (the peak resident set of a vestra process) where it can.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/memory_budget.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

// The text is `head`, a figure, then `tail`.
bool framed(const std::string& text, const std::string& head, const std::string& tail) {
    return text.size() > head.size() + tail.size() && text.starts_with(head) && text.ends_with(tail) &&
           text.substr(head.size(), text.size() - head.size() - tail.size()).find_first_not_of("0123456789.") ==
               std::string::npos;
}

std::string refusal(const TransformerSpec& spec, const std::string& device, std::uint64_t batch,
                    std::optional<std::uint64_t> available) {
    try {
        requireMemory(spec, device, batch, 0, available);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

TEST(MemoryBudget, RefusesABatchOrAModelThatCannotFit) {
    const TransformerSpec spec = defaultModelSpec();
    for (const std::string device : {"reference", "cpu"}) {
        SCOPED_TRACE(device);
        EXPECT_EQ(refusal(spec, device, 16, 4 * kGiB), "");
        EXPECT_EQ(refusal(spec, device, 2000000000, std::nullopt), "");  // nothing known, nothing refused
        EXPECT_PRED3(framed, refusal(spec, device, 2000000000, 4 * kGiB), "a batch of 2000000000 windows needs about ",
                     " GiB of memory; this machine has 4.0 GiB available: use a smaller --batch");
        EXPECT_PRED3(
            framed, refusal(spec, device, 16, kMiB), "a model of 107072 parameters needs about ",
            " GiB of memory on the " + device + " trainer; this machine has 0.0 GiB available: use a smaller model");
    }
    // Sizes that wrap 64 bits are still refused.
    TransformerSpec huge = spec;
    huge.context = std::numeric_limits<std::uint32_t>::max();
    EXPECT_NE(refusal(huge, "reference", std::numeric_limits<std::uint32_t>::max(), std::uint64_t{1} << 50), "");
    EXPECT_NE(refusal(huge, "cpu", std::numeric_limits<std::uint32_t>::max(), std::uint64_t{1} << 50), "");
}

// Standard error is one line refusing a batch of `windows` windows.
bool refusesTheBatch(const std::string& err, const std::string& windows) {
    return err.starts_with("vestra: a batch of " + windows + " windows needs about ") &&
           err.ends_with("use a smaller --batch\n") && std::count(err.begin(), err.end(), '\n') == 1;
}

struct Finished {
    int status = -1;
    std::uint64_t peakBytes = 0;  // the peak resident set
    std::string err;
};

class PeakMemory : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("vestra_memory_" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    // A text of `bytes` bytes of made-up sentences.
    fs::path text(std::uint64_t bytes) const {
        std::string line;
        for (int i = 0; line.size() < 4096; ++i) {
            line += "And the evening and the morning were day " + std::to_string(i % 7) + ".\n";
        }
        const fs::path file = root_ / "text.txt";
        std::ofstream out(file, std::ios::binary);
        for (std::uint64_t written = 0; written < bytes; written += line.size()) {
            out.write(line.data(), static_cast<std::streamsize>(std::min<std::uint64_t>(line.size(), bytes - written)));
        }
        return file;
    }

    // vestra with these arguments, in the scratch directory, waited for with its resource usage; when
    // `stopAfter` seconds are given and pass first, it is killed then (its status is -1).
    Finished vestra(std::vector<std::string> arguments, int stopAfter = 0) const {
        arguments.insert(arguments.begin(), VESTRA_CLI_PATH);
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        const fs::path err = root_ / "stderr.txt";
        const pid_t child = fork();
        if (child == 0) {
            const int out = open("/dev/null", O_WRONLY);
            const int log = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (out < 0 || log < 0 || dup2(out, 1) < 0 || dup2(log, 2) < 0 || chdir(root_.c_str()) != 0) {
                _exit(127);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        Finished finished;
        int raw = 0;
        rusage usage{};
        for (int tenths = 0; child > 0 && stopAfter > 0 && wait4(child, &raw, WNOHANG, &usage) == 0; ++tenths) {
            if (tenths == stopAfter * 10) {
                kill(child, SIGKILL);
            }
            usleep(100000);
        }
        if (child > 0 && (stopAfter > 0 || wait4(child, &raw, 0, &usage) == child)) {
            finished.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            finished.peakBytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // reported in KiB
        }
        std::ifstream in(err);
        finished.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return finished;
    }

    fs::path root_;
};

// The text is mapped, not held as copies of itself: a 64 MiB text trains in twice its size and
// 200 MiB at most, and is evaluated in the same.
TEST_F(PeakMemory, ALargeTextIsNotHeldSeveralTimesOver) {
    const std::uint64_t size = 64 * kMiB;
    const std::string file = text(size).string();
    const std::vector<std::string> tiny = {"--layers",   "1", "--dim",     "8",  "--heads",   "2",
                                           "--kv-heads", "1", "--ffn-dim", "16", "--context", "16"};
    std::vector<std::string> train = {"train", file, "--run", "run", "--steps", "1"};
    train.insert(train.end(), tiny.begin(), tiny.end());
    const Finished trained = vestra(train);
    ASSERT_EQ(trained.status, 0) << trained.err;
    EXPECT_LE(trained.peakBytes, 2 * size + 200 * kMiB);
    // Scoring the whole text takes minutes: the first seconds show whether it was copied first.
    const Finished evaluated = vestra({"eval", "run", file}, 3);
    EXPECT_LE(evaluated.peakBytes, 2 * size + 200 * kMiB);
    std::cout << "a 64 MiB text: peak " << trained.peakBytes / kMiB << " MiB training, " << evaluated.peakBytes / kMiB
              << " MiB in the first seconds of evaluation\n";
}

// The reference trainer holds the tape of a part of a batch, not of the whole of it: the default
// shape fits in 1 GiB.
TEST_F(PeakMemory, TheReferenceTrainerFitsTheDefaultShapeInOneGiB) {
    const Finished trained =
        vestra({"train", text(64 * 1024).string(), "--run", "run", "--steps", "1", "--device", "reference"});
    ASSERT_EQ(trained.status, 0) << trained.err;
    EXPECT_LT(trained.peakBytes, kGiB);
    std::cout << "reference trainer, default shape: peak " << trained.peakBytes / kMiB << " MiB\n";
}

// A batch no machine holds is refused at once, in one line, before a run directory exists (a run
// that tries it is stopped after half a minute).
TEST_F(PeakMemory, ABatchThatCannotFitIsRefusedUpFront) {
    const std::string file = text(64 * 1024).string();
    for (const std::string device : {"reference", "cpu"}) {
        const Finished refused = vestra({"train", file, "--run", "run", "--batch", "1000000", "--device", device}, 30);
        EXPECT_EQ(refused.status, 1);
        EXPECT_TRUE(refusesTheBatch(refused.err, "1000000")) << refused.err;
        EXPECT_FALSE(fs::exists(root_ / "run"));
        EXPECT_LT(refused.peakBytes, 200 * kMiB);
    }
    ASSERT_EQ(vestra({"train", file, "--run", "run", "--steps", "1", "--layers", "1", "--dim", "8", "--heads", "2",
                      "--kv-heads", "1", "--ffn-dim", "16", "--context", "16"})
                  .status,
              0);
    const Finished refused = vestra({"eval", "run", file, "--batch", "2000000000"}, 30);
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refusesTheBatch(refused.err, "2000000000")) << refused.err;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra::Cli
