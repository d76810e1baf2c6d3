#include "driver/scenarios/operator_parity.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "cuda/operators/activation_backward.h"
#include "cuda/operators/adamw.h"
#include "cuda/operators/cross_entropy.h"
#include "cuda/operators/linear_backward.h"
#include "cuda/operators/rms_norm_backward.h"
#include "driver/fixtures.h"
#include "driver/harness.h"
#include "reference/cross_entropy.h"
#include "reference/tape.h"

namespace Halcyne::Core::Vestra {
namespace {

// The larger of two maxAbsDifference results (each throws "tensor shapes differ" on its own).
double maxPairDifference(const Tensor& a, const Tensor& b, const Tensor& c, const Tensor& d) {
    return std::max(maxAbsDifference(a, b), maxAbsDifference(c, d));
}

void requireLinearParity(const TransformerCudaContext& context) {
    const Tensor x = waveTensor({5, 7}, Wave::Sine, 0.2, 0.31, 0.1);
    const Tensor w = waveTensor({4, 7}, Wave::Cosine, 0.3, 0.17, 0.2);
    const Tensor dy = waveTensor({5, 4}, Wave::Sine, 0.1, 0.23, 0.4);
    Tensor dx(Extents{5, 7});
    Tensor dw(Extents{4, 7});
    for (std::uint64_t r = 0; r < 5; ++r) {
        for (std::uint64_t i = 0; i < 7; ++i) {
            for (std::uint64_t o = 0; o < 4; ++o) {
                dx.at({r, i}) += dy.at({r, o}) * w.at({o, i});
                dw.at({o, i}) += dy.at({r, o}) * x.at({r, i});
            }
        }
    }
    const LinearGradients device = cudaLinearBackward(x, w, dy, context);
    require(maxPairDifference(device.inputGradient, dx, device.weightGradient, dw) < 1e-13,
            "CUDA linear backward differs from CPU");
}

void requireRmsNormParity(const TransformerCudaContext& context) {
    constexpr std::uint64_t kRows = 5;
    constexpr std::uint64_t kWidth = 7;
    constexpr double kEpsilon = 1e-5;
    const Tensor x = waveTensor({kRows, kWidth}, Wave::Sine, 0.4, 0.19, 0.5);
    Tensor w(Extents{kWidth});
    for (std::uint64_t c = 0; c < kWidth; ++c) {
        w.values[c] = 0.1 * std::sin(static_cast<double>(c)) + 0.8;
    }
    const Tensor dy = waveTensor({kRows, kWidth}, Wave::Cosine, 0.2, 0.29, 0.3);
    // y = w * x * inv with inv = 1 / sqrt(mean of squares + epsilon), differentiated per row.
    Tensor dx(Extents{kRows, kWidth});
    Tensor dw(Extents{kWidth});
    for (std::uint64_t r = 0; r < kRows; ++r) {
        double squares = 0.0;
        double dot = 0.0;
        for (std::uint64_t c = 0; c < kWidth; ++c) {
            squares += x.at({r, c}) * x.at({r, c});
            dot += w.at({c}) * dy.at({r, c}) * x.at({r, c});
        }
        const double inv = 1.0 / std::sqrt(squares / static_cast<double>(kWidth) + kEpsilon);
        for (std::uint64_t c = 0; c < kWidth; ++c) {
            dx.at({r, c}) =
                inv * w.at({c}) * dy.at({r, c}) - inv * inv * inv * x.at({r, c}) * dot / static_cast<double>(kWidth);
            dw.at({c}) += dy.at({r, c}) * x.at({r, c}) * inv;
        }
    }
    const RmsNormGradients device = cudaRmsNormBackward(x, w, dy, kEpsilon, context);
    require(maxPairDifference(device.inputGradient, dx, device.weightGradient, dw) < 1e-12,
            "CUDA RMSNorm backward differs from CPU");
}

void requireActivationParity(const TransformerCudaContext& context) {
    const Tensor gate = waveTensor({5, 7}, Wave::Sine, 0.7, 0.11, -0.4);
    const Tensor up = waveTensor({5, 7}, Wave::Cosine, 0.5, 0.13, 0.8);
    const Tensor dy = waveTensor({5, 7}, Wave::Sine, 0.2, 0.37, 0.2);
    Tensor dGate(gate.shape);
    Tensor dUp(up.shape);
    Tensor dGeluUp(up.shape);
    for (std::size_t i = 0; i < up.values.size(); ++i) {
        const double g = gate.values[i];
        const double u = up.values[i];
        const double s = 1.0 / (1.0 + std::exp(-g));
        dGate.values[i] = dy.values[i] * u * (s + g * s * (1.0 - s));
        dUp.values[i] = dy.values[i] * g * s;
        const double cdf = 0.5 * (1.0 + std::erf(u * 0.7071067811865476));
        const double pdf = 0.3989422804014327 * std::exp(-0.5 * u * u);
        dGeluUp.values[i] = dy.values[i] * (cdf + u * pdf);
    }
    const ActivationGradients swiGlu = cudaActivationBackward(gate, up, dy, FeedForwardKind::SwiGlu, context);
    require(maxPairDifference(swiGlu.gateGradient, dGate, swiGlu.upGradient, dUp) < 1e-13,
            "CUDA SwiGLU backward differs from CPU");
    const ActivationGradients gelu = cudaActivationBackward(gate, up, dy, FeedForwardKind::Gelu, context);
    require(maxAbsDifference(gelu.upGradient, dGeluUp) < 1e-13, "CUDA GELU backward differs from CPU");
}

}  // namespace

void verifyCrossEntropyParity(const TransformerCudaContext& context) {
    const auto model = fixtureModel();
    TokenBatch batch{2, 4, {1, 2, 3, 4, 5, 6, 7, 8}, {4, 3}, {}};
    const std::vector<std::uint32_t> targets = {2, 3, 4, 5, 6, 7, 8, 9};

    const Tensor logits = gradientForward(model->spec(), model->weights(), batch).logits();
    const CrossEntropyResult cpu = crossEntropy(logits, batch, targets);
    const CrossEntropyResult cuda = cudaCrossEntropy(logits, batch, targets, context);
    require(std::abs(cpu.loss - cuda.loss) < 1e-11, "CUDA cross-entropy loss differs from CPU");
    require(cpu.logitsGradient.shape == cuda.logitsGradient.shape, "CUDA loss gradient shape differs");
    require(maxAbsDifference(cpu.logitsGradient, cuda.logitsGradient) < 1e-12, "CUDA logits gradient differs from CPU");

    batch.lossMask = {0, 0, 1, 1, 0, 1, 0, 0};
    const Tensor maskedLogits = gradientForward(model->spec(), model->weights(), batch).logits();
    const CrossEntropyResult maskedCpu = crossEntropy(maskedLogits, batch, targets);
    const CrossEntropyResult maskedCuda = cudaCrossEntropy(maskedLogits, batch, targets, context);
    require(std::abs(maskedCpu.loss - maskedCuda.loss) < 1e-12, "masked CUDA loss differs from CPU");
    const std::uint64_t vocabulary = maskedCuda.logitsGradient.shape[2];
    for (std::uint64_t position = 0; position < batch.lossMask.size(); ++position) {
        if (batch.lossMask[position] != 0) {
            continue;
        }
        for (std::uint64_t v = 0; v < vocabulary; ++v) {
            require(maskedCuda.logitsGradient.values[position * vocabulary + v] == 0.0,
                    "masked CUDA position produced gradient");
        }
    }
}

void verifyAdamWParity(const TransformerCudaContext& context) {
    constexpr std::uint64_t kCount = 17;
    const CudaAdamWConfig configuration{0.0003, 0.9, 0.999, 1e-8, 0.01};
    const Tensor start = waveTensor({kCount}, Wave::Sine, 0.1, 1.0, 0.3);
    const Tensor gradient = waveTensor({kCount}, Wave::Cosine, 0.2, 1.0, 0.7);

    Tensor deviceWeights = start;
    CudaAdamWState state;
    std::vector<double> p = start.values;
    std::vector<double> m(kCount, 0.0);
    std::vector<double> v(kCount, 0.0);
    for (std::uint64_t t = 1; t <= 5; ++t) {
        cudaAdamW(deviceWeights, gradient, state, configuration, context);
        const double bc1 = 1.0 - std::pow(configuration.beta1, static_cast<double>(t));
        const double bc2 = 1.0 - std::pow(configuration.beta2, static_cast<double>(t));
        for (std::uint64_t i = 0; i < kCount; ++i) {
            const double g = gradient.values[i];
            m[i] = configuration.beta1 * m[i] + (1.0 - configuration.beta1) * g;
            v[i] = configuration.beta2 * v[i] + (1.0 - configuration.beta2) * g * g;
            p[i] -= configuration.learning_rate * ((m[i] / bc1) / (std::sqrt(v[i] / bc2) + configuration.epsilon) +
                                                   configuration.weight_decay * p[i]);
        }
    }
    bool agrees = state.step == 5;
    for (std::uint64_t i = 0; i < kCount; ++i) {
        agrees = agrees && std::abs(p[i] - deviceWeights.values[i]) < 1e-13;  // NaN fails
    }
    require(agrees, "CUDA AdamW differs from CPU");
}

void verifyOperatorBackwardParity(const TransformerCudaContext& context) {
    requireLinearParity(context);
    requireRmsNormParity(context);
    requireActivationParity(context);
}

}  // namespace Halcyne::Core::Vestra
