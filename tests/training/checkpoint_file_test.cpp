#include "training/checkpoint_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "support/expect_throw.h"
#include "support/fault_injection.h"

namespace Halcyne::Core::Vestra {
namespace {

namespace fs = std::filesystem;
using Testing::expectThrowWithMessage;
using Testing::FaultCall;

const Bytes kOld{'o', 'l', 'd'};

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The process's open file descriptors (the listing's own descriptor included, as at every count).
std::ptrdiff_t openDescriptors() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

// A fresh directory per test, removed with everything in it at the end. Every path a test takes,
// the failed ones included, must close each descriptor it opened.
class CheckpointFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        descriptors_ = openDescriptors();
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        directory_ = fs::temp_directory_path() / ("vestra-" + test + "-" + std::to_string(::getpid()));
        fs::remove_all(directory_);
        fs::create_directories(directory_);
        temporary_ = directory_ / "state.vtt.tmp";
        std::ofstream(target_ = directory_ / "state.vtt", std::ios::binary) << "old";
    }
    void TearDown() override {
        EXPECT_EQ(openDescriptors(), descriptors_) << "a file descriptor was left open";
        fs::remove_all(directory_);
    }

    std::ptrdiff_t descriptors_ = 0;
    fs::path directory_;
    fs::path target_;
    fs::path temporary_;
};

TEST_F(CheckpointFileTest, ReplacesTheTargetAndLeavesNoTemporary) {
    const Bytes longer(70000, 0x5A);  // more than one read chunk
    writeCheckpointFile(target_, longer);
    EXPECT_EQ(readCheckpointFile(target_, longer.size()), longer);
    EXPECT_FALSE(fs::exists(temporary_));
}

// Whatever a stale temporary name holds, the save writes a file of its own: a link is removed, never
// followed (neither into an existing file nor to create one where a dangling link points), and a
// longer stale file leaves no tail behind.
TEST_F(CheckpointFileTest, StaleTemporariesAreReplacedNeverFollowed) {
    const fs::path victim = directory_ / "victim.txt";
    const fs::path dangling = directory_ / "created-through-link";
    const Bytes fresh(100, 1);
    const std::function<void()> stale[] = {
        [&] {
            std::ofstream(victim) << "precious";
            fs::create_symlink(victim, temporary_);
        },
        [&] { fs::create_symlink(dangling, temporary_); },
        [&] { std::ofstream(temporary_, std::ios::binary) << std::string(500, 'x'); },
    };
    for (const std::function<void()>& makeStale : stale) {
        makeStale();
        writeCheckpointFile(target_, fresh);
        EXPECT_EQ(readCheckpointFile(target_, fresh.size()), fresh);
        EXPECT_FALSE(fs::is_symlink(target_));
        EXPECT_FALSE(fs::exists(fs::symlink_status(temporary_)));
    }
    EXPECT_EQ(contents(victim), "precious");
    EXPECT_FALSE(fs::exists(dangling));
}

// A failed write (as on a full disk), fsync of the temporary file, rename, and fsync of the
// directory that makes the rename durable. Before the rename the old image stays; after it the new
// one is whole and the report says so. Either way no temporary file is left.
TEST_F(CheckpointFileTest, FailedWriteSyncOrRenameIsReportedAndLeavesAWholeImage) {
    struct Case {
        FaultCall call;
        int occurrence;
        const char* message;
        Bytes expected;
    };
    const Bytes fresh(100, 1);
    const Case cases[] = {
        {FaultCall::Write, 1, "cannot flush temporary VTT checkpoint", kOld},
        {FaultCall::Fsync, 1, "cannot durably flush temporary VTT checkpoint", kOld},
        {FaultCall::Rename, 1, "cannot atomically replace VTT checkpoint", kOld},
        {FaultCall::Fsync, 2, "VTT checkpoint replaced but its directory could not be flushed", fresh},
    };
    for (const Case& testCase : cases) {
        std::ofstream(target_, std::ios::binary) << "old";
        {
            Testing::FaultScope fault(testCase.call, testCase.occurrence);
            expectThrowWithMessage<std::runtime_error>([&] { writeCheckpointFile(target_, fresh); }, testCase.message);
        }
        EXPECT_EQ(readCheckpointFile(target_, testCase.expected.size()), testCase.expected) << testCase.message;
        EXPECT_FALSE(fs::exists(temporary_)) << testCase.message;
        EXPECT_EQ(openDescriptors(), descriptors_) << testCase.message;
    }
}

TEST_F(CheckpointFileTest, CreateAndReadFailures) {
    expectThrowWithMessage<std::runtime_error>(
        [&] { writeCheckpointFile(directory_ / "missing" / "state.vtt", Bytes(100, 1)); },
        "cannot create temporary VTT checkpoint");
    // A temporary name the save cannot claim is not its own to remove.
    fs::create_directories(temporary_ / "inside");
    expectThrowWithMessage<std::runtime_error>([&] { writeCheckpointFile(target_, Bytes(100, 1)); },
                                               "cannot create temporary VTT checkpoint");
    EXPECT_TRUE(fs::exists(temporary_ / "inside"));
    EXPECT_EQ(readCheckpointFile(target_, kOld.size()), kOld);

    expectThrowWithMessage<std::runtime_error>([&] { (void)readCheckpointFile(directory_ / "absent", 3); },
                                               "cannot open VTT checkpoint");
    expectThrowWithMessage<std::runtime_error>([&] { (void)readCheckpointFile(directory_, 3); },
                                               "cannot read VTT checkpoint");
}

// Any size but the expected one is refused, and an endless source is not read to its end.
TEST_F(CheckpointFileTest, ReadsOnlyFilesOfTheExpectedSize) {
    const char* wrongSize = "VTT checkpoint file does not have the trainer's image size";
    for (const std::uint64_t expected : {std::uint64_t{2}, std::uint64_t{4}, std::uint64_t{0}}) {
        expectThrowWithMessage<std::runtime_error>([&] { (void)readCheckpointFile(target_, expected); }, wrongSize);
    }
    if (fs::exists("/dev/zero")) {
        expectThrowWithMessage<std::runtime_error>([&] { (void)readCheckpointFile("/dev/zero", 1 << 20); }, wrongSize);
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
