// The CPU device's GEMMs at the products of one training accumulate (bench/training_shapes.h): every
// linear layer's forward product, input gradient and weight gradient, as the trainer calls them
// (cublasDgemm_v2, or cublasGemmEx on bfloat16 operands into FP32), on one execution thread and on
// the device's default count. Medians of rounds in which the configurations take turns.
//   cpu_device_gemm_bench [--rounds N] [--tsv]
// --tsv prints one line per shape and round instead of the table: name, milliseconds on one thread
// and on the default count (tab-separated), for bench/compare-base.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/fastest.h"
#include "bench/training_shapes.h"
#include "cpu_device/control.h"
#include "cuda/device_transfers.h"
#include "cuda/transformer_cuda_session.h"

namespace Halcyne::Core::Vestra {
namespace {

// One product in cuBLAS's column-major terms, with its operands in device memory (bytes of the
// element type: double, or bfloat16 inputs and a float result).
struct Product {
    bool transposeA;
    bool transposeB;
    int m;
    int n;
    int k;
    DeviceBuffer<unsigned char> a;
    DeviceBuffer<unsigned char> b;
    DeviceBuffer<unsigned char> c;
};

struct ShapeProducts {
    TrainingShape shape;
    std::vector<Product> products;
    double multiplyAdds = 0.0;
};

// Operands of small varied values, so that no product runs on zeros.
DeviceBuffer<unsigned char> operand(const TransformerCudaContext& context, int count, bool bf16) {
    std::vector<unsigned char> bytes(static_cast<std::size_t>(count) * (bf16 ? 2 : 8));
    for (int i = 0; i < count; ++i) {
        const double value = 0.01 * static_cast<double>(i % 17 - 8);
        if (bf16) {
            const __nv_bfloat16 narrow = __double2bfloat16(value);
            std::memcpy(bytes.data() + 2 * i, &narrow, 2);
        } else {
            std::memcpy(bytes.data() + 8 * i, &value, 8);
        }
    }
    return uploadBuffer(context, bytes, "upload GEMM operand");
}

// The trainer's three products of a linear layer [out, in] over `rows` rows (resident_linear.cu).
void addLayer(ShapeProducts& shape, int rows, int in, int out, const TransformerCudaContext& context) {
    const bool bf16 = shape.shape.spec.precision.activations == PrecisionKind::Bf16;
    const auto result = [&](int count) { return DeviceBuffer<unsigned char>(context, count * (bf16 ? 4u : 8u)); };
    const auto input = [&](int count) { return operand(context, count, bf16); };
    shape.products.push_back({true, false, out, rows, in, input(out * in), input(rows * in), result(rows * out)});
    shape.products.push_back({false, false, in, rows, out, input(out * in), input(rows * out), result(rows * in)});
    shape.products.push_back({false, true, in, out, rows, input(rows * in), input(rows * out), result(out * in)});
    shape.multiplyAdds += 3.0 * rows * in * out;
}

ShapeProducts productsOf(const TrainingShape& trainingShape, const TransformerCudaContext& context) {
    ShapeProducts shape{trainingShape, {}, 0.0};
    const TransformerSpec& spec = trainingShape.spec;
    const int rows = static_cast<int>(trainingShape.tokensPerStep());
    const int model = static_cast<int>(spec.model_dim);
    const int ffn = static_cast<int>(spec.ffn_dim);
    const int queryWidth = static_cast<int>(spec.query_heads * spec.head_dim);
    const int kvWidth = static_cast<int>(spec.kv_heads * spec.head_dim);
    for (std::uint32_t layer = 0; layer < spec.layers; ++layer) {
        addLayer(shape, rows, model, queryWidth, context);
        addLayer(shape, rows, model, kvWidth, context);
        addLayer(shape, rows, model, kvWidth, context);
        addLayer(shape, rows, queryWidth, model, context);
        addLayer(shape, rows, model, ffn, context);
        if (spec.feed_forward == FeedForwardKind::SwiGlu) {
            addLayer(shape, rows, model, ffn, context);
        }
        addLayer(shape, rows, ffn, model, context);
    }
    addLayer(shape, rows, model, static_cast<int>(spec.vocabulary), context);
    return shape;
}

void runProducts(const TransformerCudaContext& context, std::vector<Product>& products, bool bf16) {
    const double one = 1.0;
    const double zero = 0.0;
    const float oneFloat = 1.0f;
    const float zeroFloat = 0.0f;
    for (Product& p : products) {
        const int lda = p.transposeA ? p.k : p.m;
        const int ldb = p.transposeB ? p.n : p.k;
        const cublasOperation_t ta = p.transposeA ? CUBLAS_OP_T : CUBLAS_OP_N;
        const cublasOperation_t tb = p.transposeB ? CUBLAS_OP_T : CUBLAS_OP_N;
        const cublasStatus_t status =
            bf16 ? cublasGemmEx(context.cublas, ta, tb, p.m, p.n, p.k, &oneFloat, p.a.get(), CUDA_R_16BF, lda,
                                p.b.get(), CUDA_R_16BF, ldb, &zeroFloat, p.c.get(), CUDA_R_32F, p.m, CUBLAS_COMPUTE_32F,
                                CUBLAS_GEMM_DEFAULT)
                 : cublasDgemm_v2(context.cublas, ta, tb, p.m, p.n, p.k, &one,
                                  reinterpret_cast<const double*>(p.a.get()), lda,
                                  reinterpret_cast<const double*>(p.b.get()), ldb, &zero,
                                  reinterpret_cast<double*>(p.c.get()), p.m);
        if (status != CUBLAS_STATUS_SUCCESS) {
            std::fprintf(stderr, "GEMM failed with status %d\n", static_cast<int>(status));
            std::exit(1);
        }
    }
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main(int argc, char** argv) {
    using namespace Halcyne::Core::Vestra;
    int rounds = 9;
    bool tsv = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--tsv") == 0) {
            tsv = true;
        } else {
            std::fprintf(stderr, "usage: cpu_device_gemm_bench [--rounds N] [--tsv]\n");
            return 2;
        }
    }
    const TransformerCudaSession session(0);
    const TransformerCudaContext& context = session.context();
    const unsigned threads = CpuDevice::executionThreads();
    std::vector<ShapeProducts> shapes;
    for (const TrainingShape& shape : trainingShapes()) {
        shapes.push_back(productsOf(shape, context));
    }
    std::vector<std::function<void()>> runs;
    for (ShapeProducts& shape : shapes) {
        const bool bf16 = shape.shape.spec.precision.activations == PrecisionKind::Bf16;
        for (const unsigned count : {1u, threads}) {
            runs.emplace_back([&, bf16, count] {
                CpuDevice::setExecutionThreads(count);
                runProducts(context, shape.products, bf16);
            });
        }
    }
    for (const std::function<void()>& run : runs) {
        run();  // sizes the packing buffers and wakes the execution threads once
    }
    std::vector<std::vector<double>> times(runs.size());
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t turn = 0; turn < runs.size(); ++turn) {
            const std::size_t index = round % 2 == 0 ? turn : runs.size() - 1 - turn;
            times[index].push_back(fastestMilliseconds(1, runs[index]));
        }
    }
    CpuDevice::setExecutionThreads(threads);
    if (tsv) {
        for (int round = 0; round < rounds; ++round) {
            for (std::size_t s = 0; s < shapes.size(); ++s) {
                std::printf("%s\t%.3f\t%.3f\n", shapes[s].shape.name.c_str(), times[2 * s][round],
                            times[2 * s + 1][round]);
            }
        }
        return 0;
    }
    std::printf("CPU device GEMMs of one training accumulate, median of %d rounds\n", rounds);
    std::printf("%-14s %9s %11s %11s %11s %11s\n", "shape", "products", "1 thread ms", "GMAC/s",
                (std::to_string(threads) + " threads ms").c_str(), "GMAC/s");
    for (std::size_t s = 0; s < shapes.size(); ++s) {
        const double one = median(times[2 * s]);
        const double all = median(times[2 * s + 1]);
        const double mega = shapes[s].multiplyAdds / 1e6;
        std::printf("%-14s %9zu %11.3f %11.2f %11.3f %11.2f\n", shapes[s].shape.name.c_str(), shapes[s].products.size(),
                    one, mega / one, all, mega / all);
    }
    return 0;
}
