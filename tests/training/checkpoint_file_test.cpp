#include "training/checkpoint_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support/expect_throw.h"
#include "support/fault_injection.h"

namespace Halcyne::Core::Vestra {
namespace {

namespace fs = std::filesystem;
using Testing::expectThrowWithMessage;
using Testing::FaultCall;

// A fresh directory per test, removed with everything in it at the end.
class CheckpointFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        directory_ = fs::temp_directory_path() / ("vestra-" + test + "-" + std::to_string(::getpid()));
        fs::remove_all(directory_);
        fs::create_directories(directory_);
        std::ofstream(target_ = directory_ / "state.vtt", std::ios::binary) << "old";
    }
    void TearDown() override { fs::remove_all(directory_); }

    fs::path directory_;
    fs::path target_;
};

TEST_F(CheckpointFileTest, ReplacesTheTargetAndLeavesNoTemporary) {
    const Bytes longer(70000, 0x5A);  // more than one read chunk
    writeCheckpointFile(target_, longer);
    EXPECT_EQ(readCheckpointFile(target_), longer);
    EXPECT_FALSE(fs::exists(directory_ / "state.vtt.tmp"));
}

// fsync of the temporary file, the rename, and the fsync of the directory that makes the rename
// durable. Before the rename the old image stays; after it the new one is whole and the report says
// so. Either way no temporary file is left.
TEST_F(CheckpointFileTest, FailedSyncOrRenameIsReportedAndLeavesAWholeImage) {
    struct Case {
        FaultCall call;
        int occurrence;
        const char* message;
        Bytes expected;
    };
    const Bytes fresh(100, 1);
    const Case cases[] = {
        {FaultCall::Fsync, 1, "cannot durably flush temporary VTT checkpoint", Bytes{'o', 'l', 'd'}},
        {FaultCall::Rename, 1, "cannot atomically replace VTT checkpoint", Bytes{'o', 'l', 'd'}},
        {FaultCall::Fsync, 2, "VTT checkpoint replaced but its directory could not be flushed", fresh},
    };
    for (const Case& testCase : cases) {
        std::ofstream(target_, std::ios::binary) << "old";
        {
            Testing::FaultScope fault(testCase.call, testCase.occurrence);
            expectThrowWithMessage<std::runtime_error>([&] { writeCheckpointFile(target_, fresh); }, testCase.message);
        }
        EXPECT_EQ(readCheckpointFile(target_), testCase.expected) << testCase.message;
        EXPECT_FALSE(fs::exists(directory_ / "state.vtt.tmp")) << testCase.message;
    }
}

TEST_F(CheckpointFileTest, StreamAndReadFailures) {
    // The temporary sibling is a link to a device that refuses every write.
    fs::create_symlink("/dev/full", directory_ / "state.vtt.tmp");
    expectThrowWithMessage<std::runtime_error>([&] { writeCheckpointFile(target_, Bytes(100, 1)); },
                                               "cannot flush temporary VTT checkpoint");
    EXPECT_EQ(readCheckpointFile(target_), (Bytes{'o', 'l', 'd'}));
    expectThrowWithMessage<std::runtime_error>(
        [&] { writeCheckpointFile(directory_ / "missing" / "state.vtt", Bytes(100, 1)); },
        "cannot create temporary VTT checkpoint");
    expectThrowWithMessage<std::runtime_error>([&] { (void)readCheckpointFile(directory_ / "absent"); },
                                               "cannot open VTT checkpoint");
    expectThrowWithMessage<std::runtime_error>([&] { (void)readCheckpointFile(directory_); },
                                               "cannot read VTT checkpoint");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
