#include "training/training_config.h"

#include <cmath>
#include <stdexcept>

#include "core/hash.h"
#include "core/identity_text.h"

namespace Halcyne::Core::Vestra {
namespace {

bool validBeta(double beta) {
    return std::isfinite(beta) && beta >= 0.0 && beta < 1.0;
}

}  // namespace

void validateTrainingConfig(const TransformerTrainingConfig& config) {
    if (!(std::isfinite(config.learning_rate) && config.learning_rate > 0.0)) {
        throw std::invalid_argument("learning_rate must be positive");
    }
    if (!validBeta(config.beta1) || !validBeta(config.beta2)) {
        throw std::invalid_argument("Adam beta must be in [0,1)");
    }
    if (!(std::isfinite(config.epsilon) && config.epsilon > 0.0)) {
        throw std::invalid_argument("Adam epsilon must be positive");
    }
    if (!(std::isfinite(config.weight_decay) && config.weight_decay >= 0.0)) {
        throw std::invalid_argument("weight_decay must be non-negative");
    }
    if (!(std::isfinite(config.max_gradient_norm) && config.max_gradient_norm > 0.0)) {
        throw std::invalid_argument("max_gradient_norm must be positive");
    }
    if (config.dataset_hash.empty()) {
        throw std::invalid_argument("dataset_hash must not be empty");
    }
}

std::string trainingConfigIdentity(const TransformerTrainingConfig& config) {
    std::string identity = "vestra-transformer-training-v2;lr=" + identityDouble(config.learning_rate);
    identity += ";beta1=" + identityDouble(config.beta1);
    identity += ";beta2=" + identityDouble(config.beta2);
    identity += ";epsilon=" + identityDouble(config.epsilon);
    identity += ";weight_decay=" + identityDouble(config.weight_decay);
    identity += ";max_gradient_norm=" + identityDouble(config.max_gradient_norm);
    identity += ";warmup_steps=" + identityDecimal(config.warmup_steps);
    identity += ";decay_steps=" + identityDecimal(config.decay_steps);
    identity += ";seed=" + identityDecimal(config.seed);
    identity += ";dataset_hash=" + identityDecimal(config.dataset_hash.size()) + ":" + config.dataset_hash;
    identity += ";ignore=" + (config.ignore_token ? identityDecimal(*config.ignore_token) : std::string("none"));
    return identity;
}

std::uint64_t trainingConfigFingerprint(const TransformerTrainingConfig& config) {
    return vestraFnv1a64(trainingConfigIdentity(config));
}

}  // namespace Halcyne::Core::Vestra
