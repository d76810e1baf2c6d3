#include "cli/run_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "cli/command_line.h"
#include "cli/run_json.h"

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

    // Settings in which every field the command line chooses differs from its default, so that a
    // field lost on the way through the files shows in a fingerprint or a comparison.
    RunSettings unusual() const {
        RunSettings settings;
        settings.spec = defaultModelSpec();
        settings.spec.context = 20;
        settings.spec.layers = 3;
        settings.spec.model_dim = 12;
        settings.spec.query_heads = 3;
        settings.spec.kv_heads = 1;
        settings.spec.head_dim = 4;
        settings.spec.ffn_dim = 40;
        settings.spec.feed_forward = FeedForwardKind::Gelu;
        settings.spec.tied_embeddings = true;
        settings.spec.precision.activations = PrecisionKind::Bf16;
        settings.config.learning_rate = 0.1 / 3;
        settings.config.weight_decay = 0.3;
        settings.config.max_gradient_norm = 2.5;
        settings.config.warmup_steps = 7;
        settings.config.decay_steps = 93;
        settings.config.seed = 1ULL << 60;
        settings.config.dataset_hash = "9f6082121267a15d";
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

    std::string slurp(const fs::path& file) const {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Expects reading the files to throw one line that opens with the file's path and holds message.
    void expectRefused(const fs::path& file, const std::string& message) const {
        try {
            (void)readRunSettings(model(), training());
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& error) {
            const std::string what = error.what();
            EXPECT_EQ(what.rfind(file.string() + ": ", 0), 0u) << what;
            EXPECT_NE(what.find(message), std::string::npos) << what;
            EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        }
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

// Every value the command line would refuse is refused in the files too, in the file it is in.
TEST_F(RunSettingsFiles, HandEditedFilesAreRefusedByName) {
    writeRunSettings(unusual(), model(), training());
    const std::string originals[] = {slurp(model()), slurp(training())};
    const struct {
        bool inModel;
        std::string from, to, message;
    } edits[] = {
        {false, "\"batch\": 3", "\"batch\": -3", "'batch' must be an unsigned integer in range"},
        {false, "\"batch\": 3", "\"batch\": 3.5", "'batch' must be an unsigned integer in range"},
        {false, "\"steps\": 77", "\"steps\": 1e300", "'steps' must be an unsigned integer in range"},
        {false, "\"learning_rate\"", "\"rate\"", "key 'learning_rate' not found"},
        {false, "\"holdout\": 0.2", "\"holdout\": \"0.2\"", "'holdout' must be a number"},
        {false, "\"device\": \"reference\"", "\"device\": 7", "'device' must be a string"},
        {false, "{", "[", "training.json: "},
        // What shaped the checkpoint but is not in its configuration: the file's own fingerprint.
        {false, "\"batch\": 3", "\"batch\": 4", "differ from the values the run started with"},
        {false, "\"holdout\": 0.2", "\"holdout\": 0.25", "differ from the values the run started with"},
        {false, "\"accumulation\": 5", "\"accumulation\": 4294967295", "differ from the values the run started"},
        {false, "\"validation_tokens\": 999", "\"validation_tokens\": 0", "differ from the values the run started"},
        // Values no command line writes.
        {false, "\"steps\": 77", "\"steps\": 0", "steps must be at least 1"},
        {false, "\"decay_steps\": 93", "\"decay_steps\": 0", "decay_steps must be at least 1"},
        {false, "\"beta1\": 0.9", "\"beta1\": 0.8", "beta1, beta2 and epsilon are vestra's own"},
        {false, "\"epsilon\": 1e-08", "\"epsilon\": 1e-07", "beta1, beta2 and epsilon are vestra's own"},
        {false, "\"ignore_token\": null", "\"ignore_token\": 3", "ignore_token must be null"},
        {false, "\"device\": \"reference\"", "\"device\": \"abacus\"", "device 'abacus' is not one this build has"},
        {false, "\"9f6082121267a15d\"", "\"../../etc\"", "dataset_hash must be a text's fingerprint"},
        {false, "\"9f6082121267a15d\"", "\"9F6082121267A15D\"", "dataset_hash must be a text's fingerprint"},
        {true, "\"layers\": 3", "\"layers\": -1", "'layers' must be an unsigned integer in range"},
        {true, "\"vocabulary\": 258", "\"vocabulary\": 300", "invalid model: ports[1].width"},
        {true, "\"head_dim\": 4", "\"head_dim\": 2", "model_dim must equal query_heads * head_dim"},
        {true, "\"weights\": 0", "\"weights\": 1", "only its shape"},
        {true, "\"rope_base\": 10000.0", "\"rope_base\": 500.0", "only its shape"},
        {true, "\"tied_embeddings\": true", "\"tied_embeddings\": 1", "'tied_embeddings' must be true or false"},
        {true, "\"ports\": [", "\"ports\": 3, \"x\": [", "'ports' must be an array"},
        {true, "\"kv_heads\": 1", "\"kv_heads\": 2", "invalid model: kv_heads"},
    };
    for (const auto& edit : edits) {
        SCOPED_TRACE(edit.to);
        const fs::path& file = edit.inModel ? model() : training();
        std::string text = originals[edit.inModel ? 0 : 1];
        ASSERT_NE(text.find(edit.from), std::string::npos);
        text.replace(text.find(edit.from), edit.from.size(), edit.to);
        std::ofstream(file, std::ios::trunc) << text;
        expectRefused(file, edit.message);
        std::ofstream(file, std::ios::trunc) << originals[edit.inModel ? 0 : 1];
    }
    EXPECT_NO_THROW((void)readRunSettings(model(), training()));
}

// A document nested past any run file's depth is refused before it is built, however deep (the
// parser's own recursion once ended such a file in a stack overflow); so is a file far larger than
// settings take.
TEST_F(RunSettingsFiles, DeepOrHugeFilesAreRefusedInOneLine) {
    writeRunSettings(unusual(), model(), training());
    const std::string originals[] = {slurp(model()), slurp(training())};
    for (const bool inModel : {true, false}) {
        const fs::path& file = inModel ? model() : training();
        for (const std::size_t depth : {33, 100000}) {
            SCOPED_TRACE(depth);
            std::string deep;
            for (std::size_t i = 0; i < depth; ++i) {
                deep += i % 2 == 0 ? "{\"run\":" : "[";
            }
            for (std::size_t i = depth; i-- > 0;) {
                deep += i % 2 == 0 ? "}" : "]";
            }
            std::ofstream(file, std::ios::trunc) << deep;
            expectRefused(file, "nested deeper than 32 levels");
        }
        std::ofstream(file, std::ios::trunc) << std::string(1000000, '[');  // never closed
        expectRefused(file, "nested deeper than 32 levels");
        std::ofstream(file, std::ios::trunc) << std::string(2 << 20, ' ');
        expectRefused(file, "far more than a run's settings take");
        std::ofstream(file, std::ios::trunc) << originals[inModel ? 0 : 1];
    }
    // 32 levels are the most a document may have.
    std::string deepest = "1";
    for (int i = 0; i < maxJsonDepth; ++i) {
        deepest = "[" + deepest + "]";
    }
    EXPECT_NO_THROW((void)parseJsonDocument(deepest));
    EXPECT_THROW((void)parseJsonDocument("[" + deepest + "]"), std::invalid_argument);
}

// The command line and the files share one set of rules: what either refuses, validateRunSettings
// refuses, with a window of steps that could not end in any reasonable time among them.
TEST_F(RunSettingsFiles, TheCommandLinesRulesAreOneFunction) {
    EXPECT_NO_THROW(validateRunSettings(unusual()));
    const struct {
        std::function<void(RunSettings&)> edit;
        std::string message;
    } cases[] = {
        {[](RunSettings& s) { s.accumulation = 4294967295u; }, "at most 1048576 windows per step"},
        {[](RunSettings& s) { s.batch = 1024, s.accumulation = 1025; }, "at most 1048576 windows per step"},
        {[](RunSettings& s) { s.spec.ports.pop_back(); }, "invalid model"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        RunSettings settings = unusual();
        c.edit(settings);
        try {
            validateRunSettings(settings);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
    RunSettings most = unusual();
    most.batch = 1024;
    most.accumulation = 1024;
    EXPECT_NO_THROW(validateRunSettings(most));
}

}  // namespace
}  // namespace Halcyne::Core::Vestra::Cli
