#include "training/checkpoint_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "support/expect_throw.h"
#include "support/fault_injection.h"

namespace Halcyne::Core::Vestra {
namespace {

namespace fs = std::filesystem;
using Testing::armFault;
using Testing::expectThrowWithMessage;
using Testing::FaultCall;

// A fresh directory per test, removed with everything in it at the end.
class CheckpointFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        directory_ =
            fs::temp_directory_path() / ("vestra-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        fs::remove_all(directory_);
        fs::create_directories(directory_);
    }
    void TearDown() override { fs::remove_all(directory_); }

    [[nodiscard]] fs::path file(const char* name) const { return directory_ / name; }

    static void writePlain(const fs::path& path, const Bytes& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    fs::path directory_;
};

TEST_F(CheckpointFileTest, ReplacesTheTargetAndLeavesNoTemporary) {
    const fs::path target = file("state.vtt");
    writeCheckpointFile(target, Bytes{1, 2, 3});
    EXPECT_EQ(readCheckpointFile(target), (Bytes{1, 2, 3}));
    const Bytes longer(70000, 0x5A);  // more than one read chunk
    writeCheckpointFile(target, longer);
    EXPECT_EQ(readCheckpointFile(target), longer);
    writeCheckpointFile(target, Bytes{});
    EXPECT_TRUE(readCheckpointFile(target).empty());
    EXPECT_FALSE(fs::exists(file("state.vtt.tmp")));
}

TEST_F(CheckpointFileTest, FailedFlushOrReplaceKeepsTheOldFileAndRemovesTheTemporary) {
    struct Case {
        FaultCall call;
        int occurrence;
        const char* message;
    };
    const Case cases[] = {
        {FaultCall::Open, 1, "cannot open temporary VTT checkpoint for flush"},
        {FaultCall::Fsync, 1, "cannot durably flush temporary VTT checkpoint"},
        {FaultCall::Rename, 1, "cannot atomically replace VTT checkpoint"},
    };
    const fs::path target = file("state.vtt");
    const Bytes old{9, 8, 7, 6};
    for (const Case& testCase : cases) {
        writePlain(target, old);
        {
            Testing::FaultScope scope;
            armFault(testCase.call, testCase.occurrence, EIO);
            expectThrowWithMessage<std::runtime_error>([&] { writeCheckpointFile(target, Bytes(100, 1)); },
                                                       testCase.message);
            EXPECT_EQ(Testing::faultCallsSeen(testCase.call), testCase.occurrence) << testCase.message;
        }
        EXPECT_EQ(readCheckpointFile(target), old) << testCase.message;
        EXPECT_FALSE(fs::exists(file("state.vtt.tmp"))) << testCase.message;
    }
}

// Once the rename is done the new image is in place; an unconfirmed directory entry is still a
// failure of the replacement, reported as such, and nothing is left behind.
TEST_F(CheckpointFileTest, FailedDirectorySyncIsReported) {
    const fs::path target = file("state.vtt");
    writePlain(target, Bytes{9, 8, 7, 6});
    for (const FaultCall call : {FaultCall::Open, FaultCall::Fsync}) {
        Testing::FaultScope scope;
        armFault(call, 2, EIO);
        expectThrowWithMessage<std::runtime_error>([&] { writeCheckpointFile(target, Bytes(100, 2)); },
                                                   "cannot atomically replace VTT checkpoint");
        EXPECT_EQ(readCheckpointFile(target), Bytes(100, 2));
        EXPECT_FALSE(fs::exists(file("state.vtt.tmp")));
    }
}

TEST_F(CheckpointFileTest, StreamFailuresLeaveTheTargetUntouched) {
    const fs::path target = file("state.vtt");
    writePlain(target, Bytes{9, 8, 7, 6});
    // The temporary sibling is a link to a device that refuses every write.
    fs::create_symlink("/dev/full", file("state.vtt.tmp"));
    expectThrowWithMessage<std::runtime_error>([&] { writeCheckpointFile(target, Bytes(100, 1)); },
                                               "cannot flush temporary VTT checkpoint");
    EXPECT_EQ(readCheckpointFile(target), (Bytes{9, 8, 7, 6}));

    expectThrowWithMessage<std::runtime_error>(
        [&] { writeCheckpointFile(file("missing") / "state.vtt", Bytes(100, 1)); },
        "cannot create temporary VTT checkpoint");
}

TEST_F(CheckpointFileTest, ReadFailures) {
    expectThrowWithMessage<std::runtime_error>([&] { (void)readCheckpointFile(file("absent.vtt")); },
                                               "cannot open VTT checkpoint");
    expectThrowWithMessage<std::runtime_error>([&] { (void)readCheckpointFile(directory_); },
                                               "cannot read VTT checkpoint");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
