// A saving process killed at any moment leaves a target that loads whole: the old image or the new
// one, never a mix, and a stale temporary from the killed save does not stop the next one.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "support/trainers.h"
#include "training/checkpoint_file.h"

namespace Halcyne::Core::Vestra {
namespace {

namespace fs = std::filesystem;

TEST(CheckpointDurability, KilledSavesLeaveAWholeImage) {
    const fs::path directory = fs::temp_directory_path() / ("vestra-durability-" + std::to_string(::getpid()));
    fs::remove_all(directory);
    fs::create_directories(directory);
    const fs::path target = directory / "state.vtt";

    const TransformerTrainer first = Testing::tinyTrainer();
    TransformerTrainer second = Testing::tinyTrainer();
    const TokenBatch batch = Testing::tokenRows(1, 4, {1, 2, 3, 4});
    (void)second.accumulate(batch, Testing::successors(batch, 6));
    const Bytes images[] = {first.checkpointBytes(), second.checkpointBytes()};
    first.saveCheckpoint(target);

    std::mt19937 random(20240613);
    std::uniform_int_distribution<int> delayMicroseconds(0, 4000);
    for (int round = 0; round < 50; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Alternate the two images until killed; any failure ends the child with status 1.
            try {
                for (std::size_t i = static_cast<std::size_t>(round);; ++i) {
                    writeCheckpointFile(target, images[i % 2]);
                }
            } catch (...) {
                ::_exit(1);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "round " << round << " status " << status;

        TransformerTrainer reader = Testing::tinyTrainer();
        reader.loadCheckpoint(target);
        const Bytes loaded = reader.checkpointBytes();
        ASSERT_TRUE(loaded == images[0] || loaded == images[1]) << "round " << round;
    }
    fs::remove_all(directory);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
