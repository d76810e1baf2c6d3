// The CPU device's FP64 GEMMs at the shapes of one resident accumulate at the community shape (one
// 64-token row): every linear layer's forward product, input gradient and weight gradient, through
// cublasDgemm_v2 and through the loop the stand-in ran before (bench/previous/gemm.h), on the same
// device buffers, taken in turns; with the largest difference between the two results.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "bench/fastest.h"
#include "bench/previous/gemm.h"
#include "cuda/device_transfers.h"
#include "cuda/transformer_cuda_session.h"
#include "driver/scenarios/model_backward.h"

namespace Halcyne::Core::Vestra {
namespace {

// One product in cuBLAS's column-major terms, with its operands in device memory.
struct Product {
    bool transposeA;
    bool transposeB;
    int m;
    int n;
    int k;
    DeviceBuffer<double> a;
    DeviceBuffer<double> b;
    DeviceBuffer<double> c;
};

// The trainer's three products of a linear layer [out, in] over `rows` rows (resident_linear.cu).
void addLayer(std::vector<Product>& products, int rows, int in, int out, const TransformerCudaContext& context) {
    const auto buffer = [&](int count) {
        return uploadBuffer(context, std::vector<double>(static_cast<std::size_t>(count), 0.01), "upload operand");
    };
    products.push_back({true, false, out, rows, in, buffer(out * in), buffer(rows * in), buffer(rows * out)});
    products.push_back({false, false, in, rows, out, buffer(out * in), buffer(rows * out), buffer(rows * in)});
    products.push_back({false, true, in, out, rows, buffer(rows * in), buffer(rows * out), buffer(out * in)});
}

}  // namespace
}  // namespace Halcyne::Core::Vestra

int main() {
    using namespace Halcyne::Core::Vestra;
    const ModelBackwardProblem problem = modelBackwardProblemAtCommunityShape();
    const TransformerSpec& spec = problem.spec;
    const TransformerCudaSession session(0);
    const TransformerCudaContext& context = session.context();
    const int rows = static_cast<int>(problem.batch.batch * problem.batch.width);
    const int model = static_cast<int>(spec.model_dim);
    const int ffn = static_cast<int>(spec.ffn_dim);
    const int queryWidth = static_cast<int>(spec.query_heads * spec.head_dim);
    const int kvWidth = static_cast<int>(spec.kv_heads * spec.head_dim);
    std::vector<Product> products;
    for (std::uint32_t layer = 0; layer < spec.layers; ++layer) {
        for (const auto& [in, out] : {std::pair{model, queryWidth},
                                      {model, kvWidth},
                                      {model, kvWidth},
                                      {queryWidth, model},
                                      {model, ffn},
                                      {model, ffn},
                                      {ffn, model}}) {
            addLayer(products, rows, in, out, context);
        }
    }
    addLayer(products, rows, model, static_cast<int>(spec.vocabulary), context);

    const double one = 1.0;
    const double zero = 0.0;
    std::vector<std::vector<double>> results(2);
    const auto run = [&](bool previous) {
        for (Product& p : products) {
            const int lda = p.transposeA ? p.k : p.m;
            const int ldb = p.transposeB ? p.n : p.k;
            if (previous) {
                Previous::dgemm(p.transposeA, p.transposeB, p.m, p.n, p.k, 1.0, p.a.get(), lda, p.b.get(), ldb, 0.0,
                                p.c.get(), p.m);
            } else {
                (void)cublasDgemm_v2(context.cublas, p.transposeA ? CUBLAS_OP_T : CUBLAS_OP_N,
                                     p.transposeB ? CUBLAS_OP_T : CUBLAS_OP_N, p.m, p.n, p.k, &one, p.a.get(), lda,
                                     p.b.get(), ldb, &zero, p.c.get(), p.m);
            }
            results[previous ? 1 : 0].assign(p.c.get(), p.c.get() + p.c.count());
        }
    };
    const auto [now, previous] = fastestInTurns(
        5, [&] { run(false); }, [&] { run(true); });
    double difference = 0.0;
    for (std::size_t i = 0; i < results[0].size(); ++i) {
        difference = std::max(difference, std::abs(results[0][i] - results[1][i]));
    }
    std::printf(
        "cpu device FP64 GEMMs of one accumulate at community shape (%zu products): %.3f ms, previous loop "
        "%.3f ms (%.1fx); largest difference of the last product %.3g\n",
        products.size(), now, previous, previous / now, difference);
    return 0;
}
