// The trainer's forward pass on the device, shared by accumulation and evaluation: a batch uploaded
// once, the embedding, every layer (recording a per-layer tape for the backward when asked), the
// final norm and the logits, all on resident weights; and the loss sum, the one scalar a batch
// sends back to the host.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/transformer_spec.h"
#include "cuda/device_buffer.h"
#include "cuda/trainer/resident_state.h"
#include "reference/token_batch.h"

namespace Halcyne::Core::Vestra {

// What one layer's forward leaves for the backward (rows = batch * width). The bfloat16 copies of
// the products' inputs (residentBf16Input, empty outside a BF16 scope) serve the forward and the
// backward products alike.
struct ResidentLayerTape {
    DeviceBuffer<double> input;                  // [rows, model_dim], the hidden state entering the layer
    DeviceBuffer<double> attentionNormed;        // [rows, model_dim]
    DeviceBuffer<bfloat16> attentionNormedBf16;  // the bfloat16 copy of the member above
    DeviceBuffer<double> query;                  // [rows, Q], after RoPE
    DeviceBuffer<double> key;                    // [rows, K], after RoPE
    DeviceBuffer<double> value;                  // [rows, K]
    DeviceBuffer<double> attention;              // [rows, Q], before the output projection
    DeviceBuffer<bfloat16> attentionBf16;        // the bfloat16 copy of the member above
    DeviceBuffer<double> residual;               // [rows, model_dim], input + attention projection
    DeviceBuffer<double> ffnNormed;              // [rows, model_dim]
    DeviceBuffer<bfloat16> ffnNormedBf16;        // the bfloat16 copy of the member above
    DeviceBuffer<double> gate;                   // [rows, ffn_dim] with SwiGLU, empty with GELU
    DeviceBuffer<double> up;                     // [rows, ffn_dim]
    DeviceBuffer<double> activated;              // [rows, ffn_dim]
    DeviceBuffer<bfloat16> activatedBf16;        // the bfloat16 copy of the member above
};

// The names the batch uploads fail under, one set for training and one for evaluation.
struct ResidentUploadLabels {
    const char* tokens;
    const char* targets;
    const char* lengths;
    const char* lossMask;
};

// A checked batch on the device; mask is empty when the batch has no loss mask.
struct ResidentBatch {
    std::uint64_t batch = 0;
    std::uint64_t width = 0;
    DeviceBuffer<std::uint32_t> tokens;   // [rows]
    DeviceBuffer<std::uint32_t> targets;  // [rows]
    DeviceBuffer<std::uint64_t> lengths;  // [batch]
    DeviceBuffer<std::uint32_t> mask;     // [rows], 0 ignores the position

    [[nodiscard]] std::uint64_t rows() const noexcept { return batch * width; }
};

// Uploads tokens, targets, the lengths (an empty list meaning every row is full) and, only when the
// batch has one, the loss mask as u32, in that order, through the staging, which stays pending until
// the caller settles it. The batch must already be validated.
[[nodiscard]] ResidentBatch uploadResidentBatch(const TransformerCudaContext& context, HostStaging& staging,
                                                const TokenBatch& batch, const std::vector<std::uint32_t>& targets,
                                                const ResidentUploadLabels& labels);

struct ResidentForwardResult {
    DeviceBuffer<double> ropeTable;                         // [width, head_dim / 2, 2], ropeTableKernel's
    DeviceBuffer<double> hidden;                            // [rows, model_dim], the input of the final norm
    DeviceBuffer<double> finalNormed;                       // [rows, model_dim]
    DeviceBuffer<bfloat16> finalNormedBf16;                 // its copy, as in the tape
    DeviceBuffer<double> logits;                            // [rows, vocabulary]
    std::vector<std::unique_ptr<ResidentLayerTape>> tapes;  // one per layer when recorded, else empty
};

// Nothing is checked or synchronised here: launches and GEMMs are only enqueued (a GEMM failure
// throws at once; "retain resident hidden" names a failed tape copy).
[[nodiscard]] ResidentForwardResult residentForward(ResidentState& state, const TransformerSpec& spec,
                                                    const ResidentParameterIndices& indices, const ResidentBatch& batch,
                                                    bool recordTape);

// Sums the per-position losses on the device in index order, checks the launches of the whole
// operation under kernelCheck, downloads the 8-byte sum and synchronises (labels download and
// synchronize), which settles both stagings, then counts one scalar crossing.
[[nodiscard]] double downloadLossSum(ResidentState& state, const DeviceBuffer<double>& losses, const char* kernelCheck,
                                     const char* download, const char* synchronize);

// The summed masked cross-entropy of a batch under the resident weights, without gradients or tape.
// Refusals (std::invalid_argument, before any upload): "resident evaluation batch mismatch",
// "resident evaluation lengths mismatch", "resident evaluation length exceeds sequence", "resident
// evaluation loss mask mismatch", "resident evaluation token exceeds vocabulary", "resident
// evaluation target exceeds vocabulary". 0.0 when no position is active.
[[nodiscard]] double residentEvaluate(ResidentState& state, const TransformerSpec& spec,
                                      const ResidentParameterIndices& indices, const TokenBatch& batch,
                                      const std::vector<std::uint32_t>& targets);

}  // namespace Halcyne::Core::Vestra
