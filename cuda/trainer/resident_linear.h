// The trainer's parameterised products on the device: linear layers forward and backward as cuBLAS
// GEMMs (FP64 cublasDgemm_v2, or BF16 tensor-core cublasGemmEx on the persistent weight mirrors
// while a BF16 scope is installed on the calling thread), the RMSNorm backward, and the addition of
// a batch's weight gradient into a resident gradient. Row-major [rows, features] activations and
// [out, in] weights are passed to the column-major GEMMs as their transposes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cuda/device_buffer.h"
#include "cuda/trainer/resident_state.h"

namespace Halcyne::Core::Vestra {

// The thread's BF16 switch: while enabled, residentLinearForward and residentLinearBackward run on
// the mirrors found through weightViews and count their GEMMs in gemmCounter.
struct ResidentBf16Scope {
    bool enabled = false;
    std::uint64_t* gemmCounter = nullptr;
    const std::vector<ResidentWeightView>* weightViews = nullptr;
};

// Installs {enabled, the state's counter and views} (or {false, null, null}) for one operation and
// puts the previous record back when it ends, also when it throws.
class ResidentBf16ScopeGuard {
  public:
    ResidentBf16ScopeGuard(bool enabled, ResidentState& state);
    ~ResidentBf16ScopeGuard();
    ResidentBf16ScopeGuard(const ResidentBf16ScopeGuard&) = delete;
    ResidentBf16ScopeGuard& operator=(const ResidentBf16ScopeGuard&) = delete;

  private:
    ResidentBf16Scope previous_;
};

[[nodiscard]] ResidentBf16Scope currentResidentBf16Scope() noexcept;

struct ResidentGradientPair {
    DeviceBuffer<double> input;   // [rows, in] (or [rows, width])
    DeviceBuffer<double> weight;  // [out, in] (or [width])
};

// The bfloat16 copy of an activation, made once while a BF16 scope is installed and handed to every
// product that reads the activation, forward and backward; an empty buffer outside a scope.
[[nodiscard]] DeviceBuffer<bfloat16> residentBf16Input(const TransformerCudaContext& context,
                                                       const DeviceBuffer<double>& input);

// output = input x weight^T; inputBf16 is residentBf16Input(input). FP64 failure: TransformerCudaError
// kind Blas "resident training cublasDgemm failed"; BF16: "resident BF16 forward GEMM failed",
// std::logic_error "missing persistent BF16 weight mirror" for a weight without a view and "missing
// BF16 input copy" for an empty inputBf16.
void residentLinearForward(const TransformerCudaContext& context, const double* input,
                           const DeviceBuffer<bfloat16>& inputBf16, const double* weight, double* output,
                           std::uint64_t rows, std::uint64_t in, std::uint64_t out);

// input gradient = gradient x weight, weight gradient = gradient^T x input, both new buffers; inputBf16
// as for the forward. Failures: kind Blas "resident dInput cublasDgemm failed" / "resident dWeight
// cublasDgemm failed", or "resident BF16 dInput GEMM failed" / "resident BF16 dWeight GEMM failed".
[[nodiscard]] ResidentGradientPair residentLinearBackward(const TransformerCudaContext& context,
                                                          const DeviceBuffer<double>& input,
                                                          const DeviceBuffer<bfloat16>& inputBf16,
                                                          const ResidentParameter& parameter,
                                                          const DeviceBuffer<double>& gradient, std::uint64_t rows,
                                                          std::uint64_t in, std::uint64_t out);

// The RMSNorm input gradient [rows, width] and weight gradient [width] from the forward input.
[[nodiscard]] ResidentGradientPair residentRmsNormBackward(const TransformerCudaContext& context,
                                                           const DeviceBuffer<double>& input,
                                                           const ResidentParameter& parameter,
                                                           const DeviceBuffer<double>& gradient, std::uint64_t rows,
                                                           std::uint64_t width, double epsilon);

// Adds a weight gradient into parameter `index`'s resident gradient; std::logic_error "resident
// gradient shape mismatch" when the element counts differ.
void accumulateResidentGradient(ResidentState& state, std::size_t index, const DeviceBuffer<double>& gradient);

}  // namespace Halcyne::Core::Vestra
