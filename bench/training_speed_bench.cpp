// Training speed of the device trainer, the one `vestra train` runs, at the shapes of
// bench/training_shapes.h: tokens per second of whole steps (one accumulate and one optimizer step,
// as a run without accumulation takes them) and, on the CPU device, the share of a step spent in
// GEMMs, in the other kernels and elsewhere (allocation, copies, the host's own work). Each
// configuration keeps one trainer; in every round each runs a few steps in turn (in reverse order
// every other round), and the figures are medians over the rounds.
//   training_speed_bench [--rounds N] [--steps S] [--threads T] [--only TEXT] [--torch PYTHON] [--tsv]
// --only keeps the configurations whose name contains TEXT ("default", "big bf16"), for a profile.
// --torch runs bench/torch_training_bench.py with that Python (one with PyTorch, such as Debian's
// /usr/bin/python3) for one round of its own after each round here, and sets its float64 figure
// beside the FP64 rows and its float32 figure beside the BF16 rows. --tsv prints one line per
// configuration and round instead of the table: name, tokens/s and the three shares (tab-separated;
// "-" without the CPU device's timers), for bench/compare-base, which runs this program built at
// two commits in turn.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/fastest.h"
#include "bench/training_shapes.h"
#include "cli/initial_weights.h"
#include "cuda/trainer/transformer_cuda_trainer.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/fixtures.h"

// The CPU device's timers, where the build has them (a base commit may predate them).
#if !defined(VESTRA_DEVICE_CUDA) && __has_include("cpu_device/device_times.h")
#include "cpu_device/control.h"
#include "cpu_device/device_times.h"
#define VESTRA_BENCH_DEVICE_TIMES 1
#endif

namespace Halcyne::Core::Vestra {
namespace {

struct Options {
    int rounds = 5;
    int steps = 3;
    unsigned threads = 0;  // 0: the device's default
    std::string only;      // keep the configurations whose name contains this
    std::string torch;     // the Python that runs the PyTorch script, or none
    bool tsv = false;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool valued = i + 1 < argc;
        if (argument == "--rounds" && valued) {
            options.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--steps" && valued) {
            options.steps = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--threads" && valued) {
            options.threads = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        } else if (argument == "--only" && valued) {
            options.only = argv[++i];
        } else if (argument == "--torch" && valued) {
            options.torch = argv[++i];
        } else if (argument == "--tsv") {
            options.tsv = true;
        } else {
            std::fprintf(
                stderr,
                "usage: training_speed_bench [--rounds N] [--steps S] [--threads T] [--only TEXT] [--torch PYTHON] "
                "[--tsv]\n");
            std::exit(2);
        }
    }
    return options;
}

// One round's figures of one configuration.
struct Sample {
    double tokensPerSecond;
    double gemmShare;  // negative: not measured
    double kernelShare;
};

class Configuration {
  public:
    explicit Configuration(TrainingShape shape)
        : shape_(std::move(shape)),
          session_(std::make_unique<TransformerCudaSession>(0)),
          trainer_(std::make_unique<TransformerCudaTrainer>(shape_.spec, Cli::initialWeights(shape_.spec, 1),
                                                            scenarioTrainingConfig("training-speed-bench"),
                                                            session_->context())),
          random_(7) {
        runSteps(1);  // the first step sizes the device's pools and the host's buffers
    }

    [[nodiscard]] const TrainingShape& shape() const { return shape_; }

    Sample measure(int steps) {
#if VESTRA_BENCH_DEVICE_TIMES
        CpuDevice::resetDeviceTimes();
#endif
        const auto start = std::chrono::steady_clock::now();
        runSteps(steps);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        Sample sample{static_cast<double>(shape_.tokensPerStep()) * steps / seconds, -1.0, -1.0};
#if VESTRA_BENCH_DEVICE_TIMES
        const CpuDevice::DeviceTimes times = CpuDevice::deviceTimes();
        sample.gemmShare = times.gemmSeconds / seconds;
        sample.kernelShare = times.kernelSeconds / seconds;
#endif
        return sample;
    }

  private:
    // Random windows of byte tokens, each target the next token of its window.
    void runSteps(int steps) {
        const std::uint32_t width = shape_.spec.context;
        for (int step = 0; step < steps; ++step) {
            TokenBatch batch{shape_.batch, width, {}, {}, {}};
            std::vector<std::uint32_t> targets;
            for (std::uint32_t row = 0; row < shape_.batch; ++row) {
                std::vector<std::uint32_t> window;
                for (std::uint32_t i = 0; i <= width; ++i) {
                    window.push_back(static_cast<std::uint32_t>((random_.next(1.0) + 1.0) * 127.99));
                }
                batch.tokens.insert(batch.tokens.end(), window.begin(), window.end() - 1);
                targets.insert(targets.end(), window.begin() + 1, window.end());
            }
            (void)trainer_->accumulate(batch, targets);
            (void)trainer_->step();
        }
    }

    TrainingShape shape_;
    std::unique_ptr<TransformerCudaSession> session_;
    std::unique_ptr<TransformerCudaTrainer> trainer_;
    FixtureRandom random_;
};

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one;
    std::string five;
    std::string fifteen;
    if (!(file >> one >> five >> fifteen)) {
        return "unknown";
    }
    return one + " " + five + " " + fifteen;
}

// One round of the PyTorch script: tokens/s by its configuration's name ("default fp64", ...).
std::map<std::string, double> torchRound(const Options& options) {
    const std::string command =
        options.torch + " " + VESTRA_TORCH_BENCH + " --rounds 1 --steps " + std::to_string(options.steps) + " --tsv";
    std::map<std::string, double> speeds;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run " + command);
    }
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        const std::string text = line;
        const std::size_t tab = text.find('\t');
        if (tab != std::string::npos) {
            speeds[text.substr(0, tab)] = std::atof(text.c_str() + tab + 1);
        }
    }
    if (pclose(pipe) != 0) {
        throw std::runtime_error(command + " failed");
    }
    return speeds;
}

// The PyTorch configuration a row is held against: float64 for FP64, float32 for BF16.
std::string torchName(const TrainingShape& shape) {
    std::string name = shape.name;
    const std::size_t at = name.find("bf16");
    return at == std::string::npos ? name : name.replace(at, 4, "fp32");
}

std::string share(double value) {
    if (value < 0.0) {
        return "-";
    }
    char text[16];
    std::snprintf(text, sizeof text, "%.0f%%", 100.0 * value);
    return text;
}

int run(const Options& options) {
#if VESTRA_BENCH_DEVICE_TIMES
    if (options.threads != 0) {
        CpuDevice::setExecutionThreads(options.threads);
    }
    const std::string device = "CPU device, " + std::to_string(CpuDevice::executionThreads()) + " execution threads";
#else
    const std::string device = "device";
#endif
    const std::string loadBefore = loadAverage();
    std::vector<std::unique_ptr<Configuration>> configurations;
    for (const TrainingShape& shape : trainingShapes()) {
        if (shape.name.find(options.only) == std::string::npos) {
            continue;
        }
        configurations.push_back(std::make_unique<Configuration>(shape));
    }
    std::vector<std::vector<Sample>> samples(configurations.size());
    std::map<std::string, std::vector<double>> torchSpeeds;
    for (int round = 0; round < options.rounds; ++round) {
        if (!options.torch.empty()) {
            for (const auto& [name, speed] : torchRound(options)) {
                torchSpeeds[name].push_back(speed);
            }
        }
        for (std::size_t turn = 0; turn < configurations.size(); ++turn) {
            const std::size_t index = round % 2 == 0 ? turn : configurations.size() - 1 - turn;
            const Sample sample = configurations[index]->measure(options.steps);
            samples[index].push_back(sample);
            if (options.tsv) {
                std::printf("%s\t%.1f\t%s\t%s\t%s\n", configurations[index]->shape().name.c_str(),
                            sample.tokensPerSecond, share(sample.gemmShare).c_str(), share(sample.kernelShare).c_str(),
                            share(sample.gemmShare < 0.0 ? -1.0 : 1.0 - sample.gemmShare - sample.kernelShare).c_str());
                std::fflush(stdout);
            }
        }
    }
    if (options.tsv) {
        return 0;
    }
    std::printf("training steps (accumulate + step) on the %s: median of %d rounds of %d steps\n", device.c_str(),
                options.rounds, options.steps);
    std::printf("%-14s %12s %10s %11s %6s %8s %6s %14s %8s\n", "shape", "tokens/step", "ms/step", "tokens/s", "GEMM",
                "kernels", "other", "PyTorch tok/s", "ratio");
    for (std::size_t index = 0; index < configurations.size(); ++index) {
        std::vector<double> speeds;
        std::vector<double> gemm;
        std::vector<double> kernels;
        for (const Sample& sample : samples[index]) {
            speeds.push_back(sample.tokensPerSecond);
            gemm.push_back(sample.gemmShare);
            kernels.push_back(sample.kernelShare);
        }
        const TrainingShape& shape = configurations[index]->shape();
        const double speed = median(speeds);
        const double gemmShare = median(gemm);
        const double kernelShare = median(kernels);
        const auto torch = torchSpeeds.find(torchName(shape));
        std::string torchSpeed = "-";
        std::string ratio = "-";
        if (torch != torchSpeeds.end()) {
            const double reference = median(torch->second);
            char text[32];
            std::snprintf(text, sizeof text, "%.0f %s", reference,
                          torch->first.substr(torch->first.size() - 4).c_str());
            torchSpeed = text;
            std::snprintf(text, sizeof text, "%.2fx", speed / reference);
            ratio = text;
        }
        std::printf("%-14s %12llu %10.1f %11.0f %6s %8s %6s %14s %8s\n", shape.name.c_str(),
                    static_cast<unsigned long long>(shape.tokensPerStep()),
                    1000.0 * static_cast<double>(shape.tokensPerStep()) / speed, speed, share(gemmShare).c_str(),
                    share(kernelShare).c_str(), share(gemmShare < 0.0 ? -1.0 : 1.0 - gemmShare - kernelShare).c_str(),
                    torchSpeed.c_str(), ratio.c_str());
    }
    std::printf("load average before %s, after %s\n", loadBefore.c_str(), loadAverage().c_str());
    return 0;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main(int argc, char** argv) {
    try {
        return Halcyne::Core::Vestra::run(Halcyne::Core::Vestra::parse(argc, argv));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "training_speed_bench: %s\n", error.what());
        return 1;
    }
}
