// The linear products this branch replaced, kept only so that the benchmarks can time them beside
// the current ones: the device linear backward with one thread per element, each one chain over
// the strided operands, and the CPU product as one sum per output, element by element. Device
// source for bench/ only.
#pragma once

#include <cstdint>

#include "core/tensor.h"
#include "cuda/device_transfers.h"
#include "cuda/kernels/thread_index.cuh"
#include "cuda/launch.h"
#include "cuda/operators/linear_backward.h"

namespace Halcyne::Core::Vestra::Previous {
namespace {

// The operands of both kernels, in one argument.
struct LinearArguments {
    const double* input;           // [rows, in]
    const double* weights;         // [out, in]
    const double* outputGradient;  // [rows, out]
    double* inputGradient;         // [rows, in]
    double* weightGradient;        // [out, in]
    std::uint64_t rows;
    std::uint64_t in;
    std::uint64_t out;
};

// One thread per element, one chain over the strided operands: with InputGradient, element
// (row, column) of the input gradient sums gradient[row, o] * W[o, column] over o; otherwise
// element (o, column) of the weight gradient sums gradient[r, o] * input[r, column] over r.
template <bool InputGradient>
__global__ void linearGradientKernel(LinearArguments a) {
    const std::uint64_t i = globalThreadIndex();
    const std::uint64_t terms = InputGradient ? a.out : a.rows;
    if (i >= (InputGradient ? a.rows : a.out) * a.in) {
        return;
    }
    double sum = 0.0;
    for (std::uint64_t t = 0; t < terms; ++t) {
        sum += InputGradient ? a.outputGradient[i / a.in * a.out + t] * a.weights[t * a.in + i % a.in]
                             : a.outputGradient[t * a.out + i / a.in] * a.input[t * a.in + i % a.in];
    }
    (InputGradient ? a.inputGradient : a.weightGradient)[i] = sum;
}

// A whole cudaLinearBackward call on the previous kernels: uploads, both kernels, downloads and one
// synchronisation.
LinearGradients linearBackward(const Tensor& input, const Tensor& weights, const Tensor& outputGradient,
                               const TransformerCudaContext& context) {
    const std::uint64_t rows = input.shape[0];
    const std::uint64_t in = input.shape[1];
    const std::uint64_t out = weights.shape[0];
    const auto deviceInput = uploadBuffer(context, input.values, "upload previous linear input");
    const auto deviceWeights = uploadBuffer(context, weights.values, "upload previous linear weights");
    const auto gradient = uploadBuffer(context, outputGradient.values, "upload previous linear gradient");
    LinearGradients result{Tensor(input.shape), Tensor(weights.shape)};
    const DeviceBuffer<double> inputGradient(context, rows * in);
    const DeviceBuffer<double> weightGradient(context, out * in);
    const LinearArguments arguments{deviceInput.get(),
                                    deviceWeights.get(),
                                    gradient.get(),
                                    inputGradient.get(),
                                    weightGradient.get(),
                                    rows,
                                    in,
                                    out};
    launch<linearGradientKernel<true>>(blocksFor(rows * in, kElementBlock), kElementBlock, 0, context.stream,
                                       arguments);
    launch<linearGradientKernel<false>>(blocksFor(out * in, kElementBlock), kElementBlock, 0, context.stream,
                                        arguments);
    checkKernels("previous linear backward kernels");
    download(context, result.inputGradient.values, inputGradient, "download previous linear input gradient");
    download(context, result.weightGradient.values, weightGradient, "download previous linear weight gradient");
    synchronize(context, "synchronize previous linear backward");
    return result;
}

// input [rows, in] x weight [out, in]^T, one output at a time through Tensor::at.
Tensor linearProduct(const Tensor& input, const Tensor& weight, std::uint64_t rows, std::uint64_t in,
                     std::uint64_t out) {
    Tensor output(Extents{rows, out});
    for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t o = 0; o < out; ++o) {
            double sum = 0.0;
            for (std::uint64_t k = 0; k < in; ++k) {
                sum += input.at({r, k}) * weight.at({o, k});
            }
            output.at({r, o}) = sum;
        }
    }
    return output;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra::Previous
