#include "cli/mapped_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "cli/text_corpus.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

namespace fs = std::filesystem;

class MappedFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("vestra_mapped_" + std::to_string(::getpid()));
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path write(const std::string& name, const std::string& content) const {
        std::ofstream(root_ / name, std::ios::binary) << content;
        return root_ / name;
    }

    fs::path root_;
};

TEST_F(MappedFileTest, HoldsTheFilesBytesOrSaysWhyNot) {
    const std::string text = std::string("a\0b", 3) + std::string(10000, 'z');
    EXPECT_EQ(MappedFile::open(write("text", text)).view(), text);
    EXPECT_TRUE(MappedFile::open(write("empty", "")).bytes().empty());
    Testing::expectThrowWithMessage<std::runtime_error>([&] { (void)readText(root_ / "empty"); },
                                                        (root_ / "empty").string() + " is empty");
    Testing::expectThrowWithMessage<std::runtime_error>([&] { (void)MappedFile::open(root_); },
                                                        "cannot read " + root_.string() + ": Is a directory");
    Testing::expectThrowWithMessage<std::runtime_error>(
        [&] { (void)MappedFile::open(root_ / "missing"); },
        "cannot read " + (root_ / "missing").string() + ": No such file or directory");
}

// A pipe has no pages to map: it is read whole, as a file given by process substitution is. Its
// bytes stay readable through a move, also when they are few enough to live inside the object.
TEST_F(MappedFileTest, ReadsAPipeWhole) {
    const fs::path pipe = root_ / "pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    for (const std::string& text : {std::string("short"), std::string(100000, 'p')}) {
        std::thread writer([&] { std::ofstream(pipe, std::ios::binary) << text; });
        MappedFile read = MappedFile::open(pipe);
        writer.join();
        EXPECT_EQ(read.view(), text);
        const MappedFile moved(std::move(read));
        EXPECT_EQ(moved.view(), text);
    }
}

// A text cut short under its mapping ends the process with one line naming it, not a bare bus error.
TEST_F(MappedFileTest, ATextCutShortWhileMappedIsNamed) {
    const long page = sysconf(_SC_PAGESIZE);
    const fs::path file = write("text", std::string(static_cast<std::size_t>(page) * 3, 'x'));
    EXPECT_EXIT(
        {
            const MappedFile text = MappedFile::open(file);
            fs::resize_file(file, 0);
            volatile std::uint8_t last = text.bytes()[text.bytes().size() - 1];
            (void)last;
        },
        ::testing::ExitedWithCode(1), file.string() + " was cut short while it was being read");
}

}  // namespace
}  // namespace Halcyne::Core::Vestra::Cli
