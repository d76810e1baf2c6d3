#include "cli/run_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/spec_variants.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

namespace fs = std::filesystem;

class RunSettingsFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = fs::temp_directory_path() / ("vestra_settings_" + std::to_string(::getpid()));
        fs::create_directories(directory_);
    }
    void TearDown() override { fs::remove_all(directory_); }

    // Settings in which every field differs from its default, so that a field lost on the way
    // through the files shows in a fingerprint or a comparison.
    RunSettings unusual() const {
        RunSettings settings;
        settings.spec = Testing::variantSpec({.feedForward = FeedForwardKind::Gelu, .tiedEmbeddings = true});
        settings.spec.position.rope_base = 500.25;
        settings.spec.normalization.epsilon = 3e-7;
        settings.spec.precision = {PrecisionKind::Float32, PrecisionKind::Bf16, PrecisionKind::Float32};
        settings.config = {0.1 / 3, 0.8, 0.95, 1e-9, 0.3, 2.5, 7, 93, 1ULL << 60, "9f6082121267a15d", 13};
        settings.text = directory_ / "text with spaces.txt";
        settings.holdout = 0.2;
        settings.batch = 3;
        settings.accumulation = 5;
        settings.steps = 77;
        settings.evalEvery = 11;
        settings.checkpointEvery = 13;
        settings.validationTokens = 999;
        settings.device = "reference";
        return settings;
    }

    fs::path model() const { return directory_ / "model.json"; }
    fs::path training() const { return directory_ / "training.json"; }

    fs::path directory_;
};

TEST_F(RunSettingsFiles, RoundTripKeepsEveryField) {
    const RunSettings written = unusual();
    writeRunSettings(written, model(), training());
    const RunSettings read = readRunSettings(model(), training());
    EXPECT_EQ(transformerSpecIdentity(read.spec), transformerSpecIdentity(written.spec));
    EXPECT_EQ(trainingConfigIdentity(read.config), trainingConfigIdentity(written.config));
    EXPECT_EQ(read.text, written.text);
    EXPECT_EQ(read.holdout, written.holdout);
    EXPECT_EQ((std::vector{read.batch, read.accumulation}), (std::vector{written.batch, written.accumulation}));
    EXPECT_EQ((std::vector{read.steps, read.evalEvery, read.checkpointEvery, read.validationTokens}),
              (std::vector{written.steps, written.evalEvery, written.checkpointEvery, written.validationTokens}));
    EXPECT_EQ(read.device, written.device);
}

TEST_F(RunSettingsFiles, HandEditedFilesAreRefusedByName) {
    writeRunSettings(unusual(), model(), training());
    std::ifstream in(training());
    const std::string original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const struct {
        std::string from, to, message;
    } edits[] = {
        {"\"batch\": 3", "\"batch\": -3", "'batch' must be an unsigned integer in range"},
        {"\"batch\": 3", "\"batch\": 3.5", "'batch' must be an unsigned integer in range"},
        {"\"batch\": 3", "\"batch\": 0", "batch and accumulation must be at least 1"},
        {"\"learning_rate\"", "\"rate\"", "key 'learning_rate' not found"},
        {"\"holdout\": 0.2", "\"holdout\": \"0.2\"", "'holdout' must be a number"},
        {"{", "[", "training.json: "},
    };
    for (const auto& edit : edits) {
        SCOPED_TRACE(edit.to);
        std::string text = original;
        text.replace(text.find(edit.from), edit.from.size(), edit.to);
        std::ofstream(training(), std::ios::trunc) << text;
        try {
            (void)readRunSettings(model(), training());
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& error) {
            const std::string what = error.what();
            EXPECT_EQ(what.rfind(training().string() + ": ", 0), 0u) << what;
            EXPECT_NE(what.find(edit.message), std::string::npos) << what;
        }
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra::Cli
