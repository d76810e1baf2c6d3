// The fused attention backward kernels this branch replaced, kept only so that the benchmarks can
// time them beside the current ones: every thread of a block reads every partial of a reduction,
// three reductions and seven barriers per softmax row. Device source for bench/ only.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "cuda/device_transfers.h"
#include "cuda/kernels/attention_layout.cuh"
#include "cuda/launch.h"
#include "cuda/operators/attention_backward.h"
#include "driver/finite_differences.h"

namespace Halcyne::Core::Vestra::Previous {
namespace {

constexpr unsigned kPreviousBlock = 128;

// The operands of both kernels, in one argument.
struct FusedArguments {
    const double* query;           // [rows, queryHeads * headDim]
    const double* key;             // [rows, kvHeads * headDim]
    const double* value;           // [rows, kvHeads * headDim]
    const double* outputGradient;  // [rows, queryHeads * headDim]
    double* queryGradient;         // [rows, queryHeads * headDim]
    double* keyGradient;           // [rows, kvHeads * headDim]
    double* valueGradient;         // [rows, kvHeads * headDim]
    const std::uint64_t* lengths;  // [batch]
    std::uint64_t sequence;
    std::uint64_t queryHeads;
    std::uint64_t kvHeads;
    std::uint64_t headDim;
};

struct SumOf {
    __device__ double operator()(double a, double b) const { return a + b; }
};
struct MaximumOf {
    __device__ double operator()(double a, double b) const { return b > a ? b : a; }
};

// Every thread gets the partials of threads 0..holders-1 combined in thread order (holders at most
// blockDim.x); the cache may be reused as soon as this returns. Each thread reads the partials
// itself: two barriers instead of a tree's one per level.
template <class Combine>
__device__ double combineAcrossBlock(double* cache,  // [blockDim.x]
                                     double partial, std::uint64_t holders, Combine combine) {
    cache[threadIdx.x] = partial;
    __syncthreads();
    double result = cache[0];
    for (std::uint64_t t = 1; t < holders; ++t) {
        result = combine(result, cache[t]);
    }
    __syncthreads();
    return result;
}

// Fills probability[j] = P_ij and scoreGradient[j] = dS_ij for j < count, the row's key positions,
// and returns once every thread may read all of them.
__device__ void softmaxRowGradient(double* probability,                     // [count], shared
                                   double* scoreGradient,                   // [count], shared
                                   double* cache,                           // [blockDim.x], shared
                                   const double* __restrict__ queryRow,     // [headDim]
                                   const double* __restrict__ gradientRow,  // [headDim]
                                   const double* __restrict__ keys,         // [count, kvStride]
                                   const double* __restrict__ values,       // [count, kvStride]
                                   std::uint64_t count, const AttentionRowLayout& layout) {
    double maximum = -HUGE_VAL;
    for (std::uint64_t j = threadIdx.x; j < count; j += blockDim.x) {
        const double score = layout.scale * dotProduct(queryRow, keys + j * layout.kvStride, layout.headDim);
        probability[j] = score;
        scoreGradient[j] = dotProduct(gradientRow, values + j * layout.kvStride, layout.headDim);
        maximum = score > maximum ? score : maximum;
    }
    const std::uint64_t holders = count < blockDim.x ? count : blockDim.x;
    maximum = combineAcrossBlock(cache, maximum, holders, MaximumOf{});
    double normalizer = 0.0;
    for (std::uint64_t j = threadIdx.x; j < count; j += blockDim.x) {
        probability[j] = exp(probability[j] - maximum);
        normalizer += probability[j];
    }
    normalizer = combineAcrossBlock(cache, normalizer, holders, SumOf{});
    double weighted = 0.0;
    for (std::uint64_t j = threadIdx.x; j < count; j += blockDim.x) {
        probability[j] /= normalizer;
        weighted += probability[j] * scoreGradient[j];
    }
    const double gradientMean = combineAcrossBlock(cache, weighted, holders, SumOf{});
    for (std::uint64_t j = threadIdx.x; j < count; j += blockDim.x) {
        scoreGradient[j] = probability[j] * (scoreGradient[j] - gradientMean);
    }
    __syncthreads();
}

// Block (b * queryHeads + h) * sequence + i computes query row i of head h in batch row b. Dynamic
// shared memory: sequence * 16 bytes.
__global__ void attentionQueryRowBackwardKernel(FusedArguments a) {
    VESTRA_SHARED_ARRAY(double, cache, kPreviousBlock);
    const AttentionRowLayout layout = AttentionRowLayout::of(a.queryHeads, a.kvHeads, a.headDim);
    const std::uint64_t block = blockIdx.x;
    const std::uint64_t i = block % a.sequence;
    const std::uint64_t h = block / a.sequence % a.queryHeads;
    const std::uint64_t b = block / a.sequence / a.queryHeads;
    const std::uint64_t row = b * a.sequence + i;
    double* gradientOut = a.queryGradient + row * layout.queryStride + h * a.headDim;
    if (i >= a.lengths[b]) {
        for (std::uint64_t d = threadIdx.x; d < a.headDim; d += blockDim.x) {
            gradientOut[d] = 0.0;
        }
        return;
    }
    const std::uint64_t headOffset = h / (a.queryHeads / a.kvHeads) * a.headDim;
    const double* keys = a.key + b * a.sequence * layout.kvStride + headOffset;
    const double* values = a.value + b * a.sequence * layout.kvStride + headOffset;
    double* probability = dynamicSharedMemory<double>();  // [sequence]
    double* scoreGradient = probability + a.sequence;     // [sequence]
    softmaxRowGradient(probability, scoreGradient, cache, a.query + row * layout.queryStride + h * a.headDim,
                       a.outputGradient + row * layout.queryStride + h * a.headDim, keys, values, i + 1, layout);
    for (std::uint64_t d = threadIdx.x; d < a.headDim; d += blockDim.x) {
        double sum = 0.0;
        for (std::uint64_t j = 0; j <= i; ++j) {
            sum += scoreGradient[j] * keys[j * layout.kvStride + d];
        }
        gradientOut[d] = layout.scale * sum;
    }
}
VESTRA_STATIC_SHARED_BYTES(attentionQueryRowBackwardKernel, kPreviousBlock * sizeof(double));

// Block b * kvHeads + kv accumulates the key and value gradients of KV head kv in batch row b over
// every query head of its group and every query position. Dynamic shared memory:
// (headDim + 1) * sequence * 16 bytes.
__global__ void attentionKvHeadBackwardKernel(FusedArguments a) {
    VESTRA_SHARED_ARRAY(double, cache, kPreviousBlock);
    const AttentionRowLayout layout = AttentionRowLayout::of(a.queryHeads, a.kvHeads, a.headDim);
    const std::uint64_t kv = blockIdx.x % a.kvHeads;
    const std::uint64_t b = blockIdx.x / a.kvHeads;
    const std::uint64_t length = a.lengths[b];
    const std::uint64_t group = a.queryHeads / a.kvHeads;
    const std::uint64_t headElements = a.sequence * a.headDim;
    double* keySum = dynamicSharedMemory<double>();    // [sequence, headDim]
    double* valueSum = keySum + headElements;          // [sequence, headDim]
    double* probability = valueSum + headElements;     // [sequence]
    double* scoreGradient = probability + a.sequence;  // [sequence]
    for (std::uint64_t e = threadIdx.x; e < headElements; e += blockDim.x) {
        keySum[e] = 0.0;
        valueSum[e] = 0.0;
    }
    const double* keys = a.key + b * a.sequence * layout.kvStride + kv * a.headDim;
    const double* values = a.value + b * a.sequence * layout.kvStride + kv * a.headDim;
    for (std::uint64_t h = kv * group; h < (kv + 1) * group; ++h) {
        for (std::uint64_t i = 0; i < length; ++i) {
            const std::uint64_t queryOffset = (b * a.sequence + i) * layout.queryStride + h * a.headDim;
            const double* queryRow = a.query + queryOffset;
            const double* gradientRow = a.outputGradient + queryOffset;
            softmaxRowGradient(probability, scoreGradient, cache, queryRow, gradientRow, keys, values, i + 1, layout);
            for (std::uint64_t e = threadIdx.x; e < (i + 1) * a.headDim; e += blockDim.x) {
                const std::uint64_t j = e / a.headDim;
                const std::uint64_t d = e % a.headDim;
                keySum[e] += scoreGradient[j] * queryRow[d];
                valueSum[e] += probability[j] * gradientRow[d];
            }
            // The next row overwrites the probabilities and score gradients read above.
            __syncthreads();
        }
    }
    for (std::uint64_t e = threadIdx.x; e < headElements; e += blockDim.x) {
        const std::uint64_t offset =
            (b * a.sequence + e / a.headDim) * layout.kvStride + kv * a.headDim + e % a.headDim;
        a.keyGradient[offset] = layout.scale * keySum[e];
        a.valueGradient[offset] = valueSum[e];
    }
}
VESTRA_STATIC_SHARED_BYTES(attentionKvHeadBackwardKernel, kPreviousBlock * sizeof(double));

// A whole call on the previous fused kernels, as cudaAttentionBackward makes it: uploads, the two
// kernels, downloads and one synchronisation.
AttentionGradients fusedAttentionBackward(const AttentionBackwardProblem& p, const TransformerCudaContext& context) {
    const std::vector<std::uint64_t> lengths =
        p.lengths.empty() ? std::vector<std::uint64_t>(p.batch, p.sequence) : p.lengths;
    const auto query = uploadBuffer(context, p.query.values, "upload previous query");
    const auto key = uploadBuffer(context, p.key.values, "upload previous key");
    const auto value = uploadBuffer(context, p.value.values, "upload previous value");
    const auto gradient = uploadBuffer(context, p.outputGradient.values, "upload previous gradient");
    const auto rowLengths = uploadBuffer(context, lengths, "upload previous lengths");
    AttentionGradients result{Tensor(p.query.shape), Tensor(p.key.shape), Tensor(p.value.shape)};
    const DeviceBuffer<double> queryGradient(context, result.query.values.size());
    const DeviceBuffer<double> keyGradient(context, result.key.values.size());
    const DeviceBuffer<double> valueGradient(context, result.value.values.size());
    const FusedArguments arguments{query.get(),         key.get(),         value.get(),         gradient.get(),
                                   queryGradient.get(), keyGradient.get(), valueGradient.get(), rowLengths.get(),
                                   p.sequence,          p.queryHeads,      p.kvHeads,           p.headDim};
    launch<attentionQueryRowBackwardKernel>(static_cast<unsigned>(p.queryHeads * p.sequence * p.batch), kPreviousBlock,
                                            p.sequence * 2 * sizeof(double), context.stream, arguments);
    launch<attentionKvHeadBackwardKernel>(static_cast<unsigned>(p.kvHeads * p.batch), kPreviousBlock,
                                          (p.headDim + 1) * p.sequence * 2 * sizeof(double), context.stream, arguments);
    checkKernels("previous attention backward kernels");
    for (const auto& [host, device] :
         {std::pair{&result.query, &queryGradient}, {&result.key, &keyGradient}, {&result.value, &valueGradient}}) {
        download(context, host->values, *device, "download previous attention gradient");
    }
    synchronize(context, "synchronize previous attention backward");
    return result;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra::Previous
