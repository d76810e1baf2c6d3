// The vestra executable as a user runs it: in a scratch directory, with its exit status, standard
// output and standard error captured. A run is a tiny model trained for a few steps on a made-up text.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace Halcyne::Core::Vestra::Testing {

namespace fs = std::filesystem;

inline const std::string tinyRun =
    " --layers 1 --dim 8 --heads 2 --kv-heads 1 --ffn-dim 16 --context 16 --batch 2 --steps 6";

inline std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void spit(const fs::path& file, const std::string& content) {
    std::ofstream(file, std::ios::binary) << content;
}

inline std::vector<nlohmann::json> metricsRecords(const fs::path& file) {
    std::vector<nlohmann::json> records;
    std::istringstream lines(slurp(file));
    for (std::string line; std::getline(lines, line);) {
        records.push_back(nlohmann::json::parse(line));
    }
    return records;
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class VestraCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::temp_directory_path() /
                ("vestra_command_" + std::string(test->name()) + "_" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
        std::string text;
        for (int i = 0; text.size() < 3000; ++i) {
            text += "And the evening and the morning were day " + std::to_string(i % 7) + ".\n";
        }
        spit(root_ / "text.txt", text);
    }
    void TearDown() override { fs::remove_all(root_); }

    // `launcher` runs the command, for example mpirun with its options.
    Outcome vestra(const std::string& arguments, const std::string& launcher = "") const {
        const std::string command = "cd '" + root_.string() + "' && " + launcher + " '" VESTRA_CLI_PATH "' " +
                                    arguments + " >stdout.txt 2>stderr.txt </dev/null";
        const int raw = std::system(command.c_str());
        Outcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(root_ / "stdout.txt"),
                        slurp(root_ / "stderr.txt")};
        fs::remove(root_ / "stdout.txt");
        fs::remove(root_ / "stderr.txt");
        return outcome;
    }

    // Every file under the scratch directory with its content: what a refused command must not change.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            files[fs::relative(entry.path(), root_).string()] = entry.is_regular_file() ? slurp(entry.path()) : "";
        }
        return files;
    }

    fs::path root_;
};

}  // namespace Halcyne::Core::Vestra::Testing
