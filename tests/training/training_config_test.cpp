#include "training/training_config.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "core/hash.h"
#include "support/expect_throw.h"

namespace Halcyne::Core::Vestra {
namespace {

using Testing::expectThrowWithMessage;

TransformerTrainingConfig validConfig() {
    TransformerTrainingConfig config;
    config.dataset_hash = "abc";
    return config;
}

TEST(TrainingConfig, IdentityFingerprintAndFormatting) {
    TransformerTrainingConfig config = validConfig();
    EXPECT_EQ(trainingConfigIdentity(config),
              "vestra-transformer-training-v2;lr=0.001;beta1=0.90000000000000002;beta2=0.999;epsilon=1e-08;"
              "weight_decay=0.01;max_gradient_norm=1;warmup_steps=0;decay_steps=0;seed=1;dataset_hash=3:abc;"
              "ignore=none");
    config.learning_rate = 0.1;
    config.weight_decay = 3e-4;
    config.warmup_steps = 7;
    config.decay_steps = 18446744073709551615ULL;
    config.seed = 42;
    config.dataset_hash = "a;b=c";
    config.ignore_token = 0;
    const std::string identity =
        "vestra-transformer-training-v2;lr=0.10000000000000001;beta1=0.90000000000000002;beta2=0.999;"
        "epsilon=1e-08;weight_decay=0.00029999999999999997;max_gradient_norm=1;warmup_steps=7;"
        "decay_steps=18446744073709551615;seed=42;dataset_hash=5:a;b=c;ignore=0";
    EXPECT_EQ(trainingConfigIdentity(config), identity);
    EXPECT_EQ(trainingConfigFingerprint(config), vestraFnv1a64(identity));
}

TEST(TrainingConfig, ValidationReportsTheFirstFailureInOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::function<void(TransformerTrainingConfig&)> change;
        const char* message;
    };
    const Case cases[] = {
        {[&](auto& c) { c.learning_rate = 0.0; }, "learning_rate must be positive"},
        {[&](auto& c) { c.learning_rate = nan; }, "learning_rate must be positive"},
        {[&](auto& c) { c.beta1 = 1.0; }, "Adam beta must be in [0,1)"},
        {[&](auto& c) { c.beta2 = nan; }, "Adam beta must be in [0,1)"},
        {[&](auto& c) { c.epsilon = 0.0; }, "Adam epsilon must be positive"},
        {[&](auto& c) { c.epsilon = inf; }, "Adam epsilon must be positive"},
        {[&](auto& c) { c.weight_decay = nan; }, "weight_decay must be non-negative"},
        {[&](auto& c) { c.weight_decay = -0.5; }, "weight_decay must be non-negative"},
        {[&](auto& c) { c.max_gradient_norm = 0.0; }, "max_gradient_norm must be positive"},
        {[&](auto& c) { c.max_gradient_norm = inf; }, "max_gradient_norm must be positive"},
        {[&](auto& c) { c.dataset_hash.clear(); }, "dataset_hash must not be empty"},
        // Several faults: the learning rate comes first.
        {[&](auto& c) { c.learning_rate = 0.0, c.dataset_hash.clear(); }, "learning_rate must be positive"},
    };
    for (const Case& testCase : cases) {
        TransformerTrainingConfig config = validConfig();
        testCase.change(config);
        expectThrowWithMessage<std::invalid_argument>([&] { validateTrainingConfig(config); }, testCase.message);
    }

    TransformerTrainingConfig edges = validConfig();
    edges.beta1 = 0.0;
    edges.weight_decay = 0.0;
    EXPECT_NO_THROW(validateTrainingConfig(edges));
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
