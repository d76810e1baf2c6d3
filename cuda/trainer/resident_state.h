// What the device trainer keeps on the device for its whole life: per trainable tensor the weights,
// the accumulated gradient, both AdamW moments and a bfloat16 mirror of the weights, in canonical
// tensor order, plus the counters of everything that crossed back to the host. A state is built
// whole or not at all, and replaced whole by a restore, never edited in place from the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/transformer_weights.h"
#include "cuda/device_buffer.h"
#include "cuda/device_platform.h"
#include "cuda/host_staging.h"
#include "cuda/operators/model_adamw.h"
#include "cuda/transformer_cuda_context.h"

namespace Halcyne::Core::Vestra {

struct ResidentParameter {
    Extents shape;
    DeviceBuffer<double> weights;
    DeviceBuffer<double> gradient;  // the window's sum, not divided by the batch count
    DeviceBuffer<double> firstMoment;
    DeviceBuffer<double> secondMoment;
    DeviceBuffer<bfloat16> bf16Mirror;  // bfloat16(weights), refreshed after every update
    bool decay = true;

    [[nodiscard]] std::uint64_t count() const noexcept { return weights.count(); }
};

// How the BF16 GEMM path finds a weight's mirror from the weight's device pointer.
struct ResidentWeightView {
    const double* weights = nullptr;
    const bfloat16* mirror = nullptr;
};

struct ResidentState {
    TransformerCudaContext* context = nullptr;
    std::vector<ResidentParameter> parameters;  // one per weight tensor that holds values
    std::vector<ResidentWeightView> weightViews;
    HostStaging batchStaging;                   // the batch each accumulate or evaluation uploads
    HostStaging scalarStaging;                  // the scalars the host reads back
    std::uint64_t tensorDownloads = 0;          // whole tensors copied to the host
    std::uint64_t scalarBoundaryCrossings = 0;  // scalars read by the host
    std::uint64_t bf16TensorCoreGemms = 0;
};

// Which parameter each tensor of the model is. The output weight is the token embedding (0) when
// embeddings are tied.
struct ResidentLayerParameters {
    std::size_t attentionNorm;
    std::size_t query;
    std::size_t key;
    std::size_t value;
    std::size_t attentionOutput;
    std::size_t ffnNorm;
    std::optional<std::size_t> ffnGate;  // absent when the weights hold no gate
    std::size_t ffnUp;
    std::size_t ffnDown;
};

struct ResidentParameterIndices {
    std::size_t tokenEmbedding = 0;
    std::vector<ResidentLayerParameters> layers;
    std::size_t finalNorm = 0;
    std::size_t output = 0;
};

// Walks the weights as initializeResidentState does: an index advances only over tensors that hold
// values.
[[nodiscard]] ResidentParameterIndices residentParameterIndices(const TransformerWeights& weights, bool tiedEmbeddings);

// Allocates, uploads and mirrors every weight tensor that holds values, clears the gradients and
// moments, then uploads the given moments (taken in canonical order, matched by position) and
// gradients, and synchronises once. Device failures throw TransformerCudaError under the labels
// "upload resident weight", "clear resident gradient", "clear resident first moment", "clear
// resident second moment", "restore resident first moment", "restore resident second moment",
// "restore resident gradient" and "initialize resident training state"; whatever was built is
// released on the way out.
[[nodiscard]] std::shared_ptr<ResidentState> initializeResidentState(const TransformerWeights& weights,
                                                                     TransformerCudaContext& context,
                                                                     const CudaModelAdamWState* moments,
                                                                     const TransformerWeights* gradients);

// The device weights into the host tensors that hold values (shapes kept), one synchronisation,
// then one tensor download counted per parameter. Labels "download resident weights" and
// "synchronize resident weights"; a failure counts nothing.
void downloadResidentWeights(ResidentState& state, TransformerWeights& weights);

// Gradients and both moments (and the weights when downloadWeights) into host staging sets shaped
// like the weights; the moment set is reshaped first when its layer count differs, and every moment
// entry that holds values gets step = steps. Labels "checkpoint resident weight", "checkpoint
// resident gradient", "checkpoint resident first moment", "checkpoint resident second moment",
// "synchronize resident checkpoint".
void downloadResidentCheckpointState(ResidentState& state, TransformerWeights& weights, CudaModelAdamWState& moments,
                                     TransformerWeights& gradients, std::uint64_t steps, bool downloadWeights);

// Zero moments shaped like every weight tensor, step = steps for the tensors that hold values and
// a default (empty) pair with step 0 for the others.
[[nodiscard]] CudaModelAdamWState momentsShapedLike(const TransformerWeights& weights, std::uint64_t steps);

}  // namespace Halcyne::Core::Vestra
