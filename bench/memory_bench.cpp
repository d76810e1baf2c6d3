// Peak memory of vestra runs, as the system counts it (the peak resident set of the process): a
// tiny model trained on large texts, where the text dominates; the default shape on the CPU
// reference trainer, where the tape does; and the device trainer at growing batches, where the
// activations do, each beside the estimate a run is refused by.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/memory_budget.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

namespace fs = std::filesystem;

constexpr double kMiB = 1024.0 * 1024.0;

// The peak resident bytes of vestra with these arguments (0 when it failed).
double peakBytes(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), VESTRA_CLI_PATH);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        if (quiet < 0 || dup2(quiet, 1) < 0) {
            _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return 0.0;
    }
    return static_cast<double>(usage.ru_maxrss) * 1024.0;
}

void writeText(const fs::path& file, std::uint64_t bytes) {
    std::string line;
    for (int i = 0; line.size() < 4096; ++i) {
        line += "And the evening and the morning were day " + std::to_string(i % 7) + ".\n";
    }
    std::ofstream out(file, std::ios::binary);
    for (std::uint64_t written = 0; written < bytes; written += line.size()) {
        out.write(line.data(), static_cast<std::streamsize>(std::min<std::uint64_t>(line.size(), bytes - written)));
    }
}

int run() {
    const fs::path root = fs::temp_directory_path() / ("vestra_memory_bench_" + std::to_string(getpid()));
    fs::create_directories(root);
    const auto train = [&](const fs::path& text, std::vector<std::string> options) {
        fs::remove_all(root / "run");
        std::vector<std::string> arguments = {"train", text.string(), "--run", (root / "run").string(), "--steps", "1"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return peakBytes(arguments);
    };
    const std::vector<std::string> tiny = {"--layers",   "1", "--dim",     "8",  "--heads",   "2",
                                           "--kv-heads", "1", "--ffn-dim", "16", "--context", "16"};
    std::printf("%-44s %10s %10s\n", "run (one step)", "peak MiB", "estimate");
    for (const std::uint64_t mib : {64, 256}) {
        const fs::path text = root / (std::to_string(mib) + ".txt");
        writeText(text, mib << 20);
        std::printf("%-44s %10.0f %10s  (text %llu MiB, bound 2x + 200 MiB = %llu)\n",
                    ("tiny model, " + std::to_string(mib) + " MiB text").c_str(), train(text, tiny) / kMiB, "-",
                    static_cast<unsigned long long>(mib), static_cast<unsigned long long>(2 * mib + 200));
        fs::remove(text);
    }
    const fs::path text = root / "small.txt";
    writeText(text, 1 << 20);
    const TransformerSpec spec = defaultModelSpec();
    for (const std::string device : {"reference", "cpu"}) {
        for (const std::uint32_t batch : {16u, 256u}) {
            if (device == "reference" && batch > 16) {
                continue;  // minutes a step; the tape holds one part whatever the batch
            }
            const std::string name = "default shape, " + device + ", batch " + std::to_string(batch);
            std::printf("%-44s %10.0f %10.0f\n", name.c_str(),
                        train(text, {"--device", device, "--batch", std::to_string(batch)}) / kMiB,
                        runMemoryBytes(spec, device, batch, 1 << 20) / kMiB);
        }
    }
    fs::remove_all(root);
    return 0;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra::Cli

int main() {
    return Halcyne::Core::Vestra::Cli::run();
}
