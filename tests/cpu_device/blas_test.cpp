// cuBLAS semantics of the CPU device against a plain loop: column-major storage, both transposes,
// leading dimensions beyond the matrix, beta = 0 that never reads C (C holds NaN there), every type
// combination cublasGemmEx serves and the ones it refuses as cuBLAS does, and BLAS argument checks.
// The inputs are multiples of 1/8 and 1/4 that bfloat16 holds exactly, so every product and sum is
// exact and results match bit for bit, a bfloat16 C after its one rounding. Then inputs that round,
// against the plain loop's order of summation, on one thread and on several.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <tuple>
#include <vector>

#include "cpu_device/control.h"
#include "cuda/device_transfers.h"
#include "cuda/transformer_cuda_session.h"
#include "support/compare.h"
#include "support/cpu_device_test.h"

namespace Halcyne::Core::Vestra {
namespace {

std::size_t elementBytes(cudaDataType type) {
    return type == CUDA_R_64F ? 8 : type == CUDA_R_32F || type == CUDA_R_32I ? 4 : type == CUDA_R_8I ? 1 : 2;
}

// Host images of device matrices of the types the stand-in computes (FP64, FP32, bfloat16), chosen at
// run time.
std::vector<unsigned char> encode(cudaDataType type, const std::vector<double>& values) {
    std::vector<unsigned char> bytes(values.size() * elementBytes(type));
    for (std::size_t i = 0; i < values.size(); ++i) {
        unsigned char* at = bytes.data() + i * elementBytes(type);
        const auto single = static_cast<float>(values[i]);
        const __nv_bfloat16 bf16 = __double2bfloat16(values[i]);
        if (type == CUDA_R_64F) {
            std::memcpy(at, &values[i], sizeof(double));
        } else if (type == CUDA_R_32F) {
            std::memcpy(at, &single, sizeof single);
        } else {
            std::memcpy(at, &bf16, sizeof bf16);
        }
    }
    return bytes;
}

std::vector<double> decode(cudaDataType type, const std::vector<unsigned char>& bytes) {
    std::vector<double> values(bytes.size() / elementBytes(type));
    for (std::size_t i = 0; i < values.size(); ++i) {
        const unsigned char* at = bytes.data() + i * elementBytes(type);
        float single = 0.0f;
        __nv_bfloat16 bf16{};
        if (type == CUDA_R_64F) {
            std::memcpy(&values[i], at, sizeof(double));
        } else if (type == CUDA_R_32F) {
            std::memcpy(&single, at, sizeof single);
            values[i] = single;
        } else {
            std::memcpy(&bf16, at, sizeof bf16);
            values[i] = __bfloat162float(bf16);
        }
    }
    return values;
}

// A GEMM as the tests make it, whatever its types: alpha, beta and the matrices as untyped pointers.
using GemmCall = std::function<cublasStatus_t(cublasOperation_t, cublasOperation_t, int, int, int, const void*,
                                              const void*, int, const void*, int, const void*, void*, int)>;

class CpuDeviceBlas : public Testing::CpuDeviceTest {
  protected:
    TransformerCudaSession session{0};
    const TransformerCudaContext& context = session.context();

    // Runs every shape through `gemm` on inputs and C of the given types and compares with the plain
    // loop, rounded once to C's type.
    void compareWithPlainProduct(const GemmCall& gemm, cudaDataType inputs, cudaDataType output, bool scaleIsDouble) {
        for (const bool ta : {false, true}) {
            for (const bool tb : {false, true}) {
                for (const auto& [m, n, k, padding] : {std::tuple{1, 1, 1, 0},
                                                       {3, 5, 7, 3},
                                                       {17, 4, 1, 0},
                                                       {10, 9, 11, 1},
                                                       {2, 3, 0, 2},
                                                       {0, 3, 2, 0}}) {
                    for (const double beta : {0.0, -0.5}) {
                        SCOPED_TRACE(::testing::Message()
                                     << ta << tb << " m " << m << " n " << n << " k " << k << " beta " << beta);
                        const int lda = std::max(1, ta ? k : m) + padding;
                        const int ldb = std::max(1, tb ? n : k) + padding;
                        const int ldc = std::max(1, m) + padding;
                        std::vector<double> a(static_cast<std::size_t>(lda * (ta ? m : k)));
                        std::vector<double> b(static_cast<std::size_t>(ldb * (tb ? k : n)));
                        for (std::size_t i = 0; i < a.size(); ++i) {
                            a[i] = static_cast<double>(i % 23) / 8.0 - 1.375;
                        }
                        for (std::size_t i = 0; i < b.size(); ++i) {
                            b[i] = static_cast<double>(i % 19) / 4.0 - 2.25;
                        }
                        const double old = beta == 0.0 ? std::numeric_limits<double>::quiet_NaN() : 0.25;
                        std::vector<unsigned char> c =
                            encode(output, std::vector<double>(static_cast<std::size_t>(ldc * n), old));
                        const auto bufferA = uploadBuffer(context, encode(inputs, a), "upload A");
                        const auto bufferB = uploadBuffer(context, encode(inputs, b), "upload B");
                        const auto bufferC = uploadBuffer(context, c, "upload C");
                        const double alpha = 1.5;
                        const auto alphaFloat = static_cast<float>(alpha);
                        const auto betaFloat = static_cast<float>(beta);
                        ASSERT_EQ(
                            gemm(ta ? CUBLAS_OP_T : CUBLAS_OP_N, tb ? CUBLAS_OP_T : CUBLAS_OP_N, m, n, k,
                                 scaleIsDouble ? static_cast<const void*>(&alpha) : &alphaFloat, bufferA.get(), lda,
                                 bufferB.get(), ldb, scaleIsDouble ? static_cast<const void*>(&beta) : &betaFloat,
                                 bufferC.get(), ldc),
                            CUBLAS_STATUS_SUCCESS);
                        download(context, c, bufferC, "download C");
                        synchronize(context, "synchronize C");
                        // C^T as a row-major [n, m] tensor; built by hand, since a zero extent is allowed here.
                        Tensor expected;
                        expected.shape = {static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(m)};
                        Tensor got = expected;
                        const std::vector<double> result = decode(output, c);
                        for (int j = 0; j < n; ++j) {
                            for (int i = 0; i < m; ++i) {
                                double sum = 0.0;
                                for (int q = 0; q < k; ++q) {
                                    sum +=
                                        (ta ? a[q + i * lda] : a[i + q * lda]) * (tb ? b[j + q * ldb] : b[q + j * ldb]);
                                }
                                expected.values.push_back(alpha * sum + (beta == 0.0 ? 0.0 : beta * old));
                                got.values.push_back(result[static_cast<std::size_t>(i + j * ldc)]);
                            }
                        }
                        expected.values = decode(output, encode(output, expected.values));
                        EXPECT_TRUE(Testing::tensorsEqual(got, expected));
                    }
                }
            }
        }
    }
};

TEST_F(CpuDeviceBlas, DgemmMatchesThePlainProduct) {
    compareWithPlainProduct(
        [&](cublasOperation_t ta, cublasOperation_t tb, int m, int n, int k, const void* alpha, const void* a, int lda,
            const void* b, int ldb, const void* beta, void* c, int ldc) {
            return cublasDgemm_v2(context.cublas, ta, tb, m, n, k, static_cast<const double*>(alpha),
                                  static_cast<const double*>(a), lda, static_cast<const double*>(b), ldb,
                                  static_cast<const double*>(beta), static_cast<double*>(c), ldc);
        },
        CUDA_R_64F, CUDA_R_64F, true);
}

// Every combination cuBLAS's table for cublasGemmEx lists that the stand-in serves computes the plain
// product; every other one, listed by cuBLAS or not, is answered as cuBLAS answers what it does not
// support, before C is touched.
TEST_F(CpuDeviceBlas, GemmExServesItsTypeTableAndRefusesTheRest) {
    struct Case {
        const char* name;
        cublasComputeType_t compute;
        cudaDataType a;
        cudaDataType b;
        cudaDataType c;
        cublasGemmAlgo_t algo;
        cublasStatus_t status;
    };
    constexpr cublasStatus_t kServed = CUBLAS_STATUS_SUCCESS;
    constexpr cublasStatus_t kRefused = CUBLAS_STATUS_NOT_SUPPORTED;
    constexpr cublasGemmAlgo_t kDefault = CUBLAS_GEMM_DEFAULT;
    const Case cases[] = {
        {"the trainer's BF16 GEMMs", CUBLAS_COMPUTE_32F, CUDA_R_16BF, CUDA_R_16BF, CUDA_R_32F, kDefault, kServed},
        {"bf16 to bf16", CUBLAS_COMPUTE_32F, CUDA_R_16BF, CUDA_R_16BF, CUDA_R_16BF, kDefault, kServed},
        {"fp32", CUBLAS_COMPUTE_32F, CUDA_R_32F, CUDA_R_32F, CUDA_R_32F, kDefault, kServed},
        {"pedantic bf16 to fp32", CUBLAS_COMPUTE_32F_PEDANTIC, CUDA_R_16BF, CUDA_R_16BF, CUDA_R_32F, kDefault, kServed},
        {"pedantic bf16 to bf16", CUBLAS_COMPUTE_32F_PEDANTIC, CUDA_R_16BF, CUDA_R_16BF, CUDA_R_16BF, kDefault,
         kServed},
        {"pedantic fp32", CUBLAS_COMPUTE_32F_PEDANTIC, CUDA_R_32F, CUDA_R_32F, CUDA_R_32F, kDefault, kServed},
        {"fp32 that may go through fp16", CUBLAS_COMPUTE_32F_FAST_16F, CUDA_R_32F, CUDA_R_32F, CUDA_R_32F, kDefault,
         kServed},
        {"fp32 that may go through bf16", CUBLAS_COMPUTE_32F_FAST_16BF, CUDA_R_32F, CUDA_R_32F, CUDA_R_32F, kDefault,
         kServed},
        {"fp32 that may go through tf32", CUBLAS_COMPUTE_32F_FAST_TF32, CUDA_R_32F, CUDA_R_32F, CUDA_R_32F, kDefault,
         kServed},
        {"fp64", CUBLAS_COMPUTE_64F, CUDA_R_64F, CUDA_R_64F, CUDA_R_64F, kDefault, kServed},
        {"pedantic fp64", CUBLAS_COMPUTE_64F_PEDANTIC, CUDA_R_64F, CUDA_R_64F, CUDA_R_64F, kDefault, kServed},
        {"the deprecated tensor-op default", CUBLAS_COMPUTE_32F, CUDA_R_16BF, CUDA_R_16BF, CUDA_R_32F,
         CUBLAS_GEMM_DEFAULT_TENSOR_OP, kServed},

        {"the trainer's BF16 GEMMs under the fast-bf16 compute type", CUBLAS_COMPUTE_32F_FAST_16BF, CUDA_R_16BF,
         CUDA_R_16BF, CUDA_R_32F, kDefault, kRefused},
        {"fp16 to fp32, listed but not served", CUBLAS_COMPUTE_32F, CUDA_R_16F, CUDA_R_16F, CUDA_R_32F, kDefault,
         kRefused},
        {"fp16 in fp16, listed but not served", CUBLAS_COMPUTE_16F, CUDA_R_16F, CUDA_R_16F, CUDA_R_16F, kDefault,
         kRefused},
        {"int8 to int32, listed but not served", CUBLAS_COMPUTE_32I, CUDA_R_8I, CUDA_R_8I, CUDA_R_32I, kDefault,
         kRefused},
        {"A and B of different types", CUBLAS_COMPUTE_32F, CUDA_R_16BF, CUDA_R_32F, CUDA_R_32F, kDefault, kRefused},
        {"fp32 to bf16", CUBLAS_COMPUTE_32F, CUDA_R_32F, CUDA_R_32F, CUDA_R_16BF, kDefault, kRefused},
        {"fp64 under a float compute type", CUBLAS_COMPUTE_32F, CUDA_R_64F, CUDA_R_64F, CUDA_R_64F, kDefault, kRefused},
        {"fp32 under a double compute type", CUBLAS_COMPUTE_64F, CUDA_R_32F, CUDA_R_32F, CUDA_R_32F, kDefault,
         kRefused},
        {"bf16 to fp64", CUBLAS_COMPUTE_32F, CUDA_R_16BF, CUDA_R_16BF, CUDA_R_64F, kDefault, kRefused},
        {"an unknown compute type", static_cast<cublasComputeType_t>(66), CUDA_R_32F, CUDA_R_32F, CUDA_R_32F, kDefault,
         kRefused},
        {"a numbered algorithm, a hint cuBLAS still takes", CUBLAS_COMPUTE_32F, CUDA_R_32F, CUDA_R_32F, CUDA_R_32F,
         static_cast<cublasGemmAlgo_t>(23), kServed},
        {"an unknown algorithm", CUBLAS_COMPUTE_32F, CUDA_R_32F, CUDA_R_32F, CUDA_R_32F,
         static_cast<cublasGemmAlgo_t>(42), kRefused},
    };
    for (const Case& call : cases) {
        SCOPED_TRACE(call.name);
        const bool scaleIsDouble = call.compute == CUBLAS_COMPUTE_64F || call.compute == CUBLAS_COMPUTE_64F_PEDANTIC;
        const GemmCall gemm = [&](cublasOperation_t ta, cublasOperation_t tb, int m, int n, int k, const void* alpha,
                                  const void* a, int lda, const void* b, int ldb, const void* beta, void* c, int ldc) {
            return cublasGemmEx(context.cublas, ta, tb, m, n, k, alpha, a, call.a, lda, b, call.b, ldb, beta, c, call.c,
                                ldc, call.compute, call.algo);
        };
        if (call.status == kServed) {
            ASSERT_EQ(call.a, call.b);
            compareWithPlainProduct(gemm, call.a, call.c, scaleIsDouble);
            continue;
        }
        const std::vector<unsigned char> c(4 * elementBytes(call.c), 0x5A);
        const auto bufferA = uploadBuffer(context, std::vector<unsigned char>(4 * elementBytes(call.a)), "upload A");
        const auto bufferB = uploadBuffer(context, std::vector<unsigned char>(4 * elementBytes(call.b)), "upload B");
        const auto bufferC = uploadBuffer(context, c, "upload C");
        const double one = 1.0;
        const float oneFloat = 1.0f;
        const void* scale = scaleIsDouble ? static_cast<const void*>(&one) : &oneFloat;
        EXPECT_EQ(
            gemm(CUBLAS_OP_N, CUBLAS_OP_N, 2, 2, 2, scale, bufferA.get(), 2, bufferB.get(), 2, scale, bufferC.get(), 2),
            call.status);
        std::vector<unsigned char> after(c.size());
        download(context, after, bufferC, "download C");
        synchronize(context, "synchronize C");
        EXPECT_EQ(after, c);
    }
}

// The trainer's two GEMMs (FP64, and bfloat16 into FP32) on inputs whose products and sums round,
// so that any other order of the terms shows: every element of C must be the plain loop's sum over
// k in order from zero, a multiply then an add per term, then alpha * sum + beta * C, to the bit.
// The shapes cross the edges of the register tiles (vectors of 8 and 16 lanes, tiles of 4 x 6 and
// 3 x 4) in both directions, and the largest is big enough to be spread over the execution threads,
// which must not change a bit either.
TEST_F(CpuDeviceBlas, ProductsAddTheirTermsInThePlainLoopsOrderOnAnyNumberOfThreads) {
    const unsigned threadsBefore = CpuDevice::executionThreads();
    const auto value = [](std::size_t i, double phase) { return std::sin(0.37 * static_cast<double>(i) + phase); };
    for (const unsigned threads : {1u, 3u}) {
        CpuDevice::setExecutionThreads(threads);
        for (const auto& [m, n, k] :
             {std::tuple{1, 1, 1}, {7, 5, 3}, {16, 6, 9}, {33, 13, 70}, {66, 25, 17}, {97, 7, 130}, {130, 301, 19}}) {
            for (const bool ta : {false, true}) {
                for (const bool tb : {false, true}) {
                    for (const double beta : {0.0, -0.75}) {
                        SCOPED_TRACE(::testing::Message() << threads << " threads " << ta << tb << " m " << m << " n "
                                                          << n << " k " << k << " beta " << beta);
                        const int lda = (ta ? k : m) + 1;
                        const int ldb = (tb ? n : k) + 2;
                        const int ldc = m + 3;
                        const auto count = [](int ld, int columns) { return static_cast<std::size_t>(ld * columns); };
                        std::vector<double> a(count(lda, ta ? m : k));
                        std::vector<double> b(count(ldb, tb ? k : n));
                        std::vector<double> c(count(ldc, n));
                        for (std::size_t i = 0; i < a.size(); ++i) {
                            a[i] = value(i, 0.1);
                        }
                        for (std::size_t i = 0; i < b.size(); ++i) {
                            b[i] = value(i, 0.7);
                        }
                        for (std::size_t i = 0; i < c.size(); ++i) {
                            c[i] = value(i, 1.3);
                        }
                        const auto opA = [&](const auto& matrix, int i, int q) {
                            return ta ? matrix[q + i * lda] : matrix[i + q * lda];
                        };
                        const auto opB = [&](const auto& matrix, int q, int j) {
                            return tb ? matrix[j + q * ldb] : matrix[q + j * ldb];
                        };
                        // C as the device left it against `loop(i, j)`, the plain loop's element, to the bit.
                        const auto expectThePlainLoop = [&](const auto& got, const char* what, const auto& loop) {
                            Tensor expected({static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(m)});
                            Tensor result = expected;
                            for (int j = 0; j < n; ++j) {
                                for (int i = 0; i < m; ++i) {
                                    const std::size_t at = static_cast<std::size_t>(j * m + i);
                                    expected.values[at] = loop(i, j);
                                    result.values[at] = got[static_cast<std::size_t>(i + j * ldc)];
                                }
                            }
                            EXPECT_TRUE(Testing::tensorsEqual(result, expected)) << what;
                        };
                        const double alpha = 1.25;
                        {  // FP64
                            const auto bufferA = uploadBuffer(context, a, "upload A");
                            const auto bufferB = uploadBuffer(context, b, "upload B");
                            const auto bufferC = uploadBuffer(context, c, "upload C");
                            ASSERT_EQ(cublasDgemm_v2(context.cublas, ta ? CUBLAS_OP_T : CUBLAS_OP_N,
                                                     tb ? CUBLAS_OP_T : CUBLAS_OP_N, m, n, k, &alpha, bufferA.get(),
                                                     lda, bufferB.get(), ldb, &beta, bufferC.get(), ldc),
                                      CUBLAS_STATUS_SUCCESS);
                            std::vector<double> got(c.size());
                            download(context, got, bufferC, "download C");
                            synchronize(context, "synchronize C");
                            expectThePlainLoop(got, "FP64", [&](int i, int j) {
                                double sum = 0.0;
                                for (int q = 0; q < k; ++q) {
                                    sum += opA(a, i, q) * opB(b, q, j);
                                }
                                const double old = c[static_cast<std::size_t>(i + j * ldc)];
                                return beta == 0.0 ? alpha * sum : alpha * sum + beta * old;
                            });
                        }
                        {  // bfloat16 operands, FP32 sums and C
                            const auto narrow = [](const std::vector<double>& values) {
                                std::vector<__nv_bfloat16> out;
                                for (const double v : values) {
                                    out.push_back(__double2bfloat16(v));
                                }
                                return out;
                            };
                            const std::vector<__nv_bfloat16> a16 = narrow(a);
                            const std::vector<__nv_bfloat16> b16 = narrow(b);
                            std::vector<float> c32(c.begin(), c.end());
                            const auto bufferA = uploadBuffer(context, a16, "upload A");
                            const auto bufferB = uploadBuffer(context, b16, "upload B");
                            const auto bufferC = uploadBuffer(context, c32, "upload C");
                            const auto alphaFloat = static_cast<float>(alpha);
                            const auto betaFloat = static_cast<float>(beta);
                            ASSERT_EQ(
                                cublasGemmEx(context.cublas, ta ? CUBLAS_OP_T : CUBLAS_OP_N,
                                             tb ? CUBLAS_OP_T : CUBLAS_OP_N, m, n, k, &alphaFloat, bufferA.get(),
                                             CUDA_R_16BF, lda, bufferB.get(), CUDA_R_16BF, ldb, &betaFloat,
                                             bufferC.get(), CUDA_R_32F, ldc, CUBLAS_COMPUTE_32F, CUBLAS_GEMM_DEFAULT),
                                CUBLAS_STATUS_SUCCESS);
                            std::vector<float> got(c32.size());
                            download(context, got, bufferC, "download C");
                            synchronize(context, "synchronize C");
                            expectThePlainLoop(got, "bfloat16", [&](int i, int j) {
                                float sum = 0.0f;
                                for (int q = 0; q < k; ++q) {
                                    sum += __bfloat162float(opA(a16, i, q)) * __bfloat162float(opB(b16, q, j));
                                }
                                const float old = c32[static_cast<std::size_t>(i + j * ldc)];
                                return beta == 0.0 ? alphaFloat * sum : alphaFloat * sum + betaFloat * old;
                            });
                        }
                    }
                }
            }
        }
    }
    CpuDevice::setExecutionThreads(threadsBefore);
}

TEST_F(CpuDeviceBlas, RefusedCallsGiveTheirStatusAndLeaveCAlone) {
    const auto a = uploadBuffer(context, std::vector<double>(12, 1.0), "upload A");
    const auto c = uploadBuffer(context, std::vector<double>(12, 5.0), "upload C");
    const std::vector<double> host(12, 1.0);
    const double one = 1.0;
    const double zero = 0.0;
    struct Case {
        cublasHandle_t handle;
        cublasOperation_t transa;
        int m, k, lda, ldc;
        const double* alpha;
        const double* b;
        cublasStatus_t status;
    };
    const cublasHandle_t handle = context.cublas;
    for (const Case& call : {
             Case{nullptr, CUBLAS_OP_N, 3, 3, 3, 3, &one, a.get(), CUBLAS_STATUS_NOT_INITIALIZED},
             Case{handle, static_cast<cublasOperation_t>(5), 3, 3, 3, 3, &one, a.get(), CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, -1, 3, 3, 3, &one, a.get(), CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, 3, 3, 2, 3, &one, a.get(), CUBLAS_STATUS_INVALID_VALUE},  // lda < m
             Case{handle, CUBLAS_OP_T, 3, 4, 3, 3, &one, a.get(), CUBLAS_STATUS_INVALID_VALUE},  // lda < k
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 2, &one, a.get(), CUBLAS_STATUS_INVALID_VALUE},  // ldc < m
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 3, nullptr, a.get(), CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 3, &one, host.data(), CUBLAS_STATUS_EXECUTION_FAILED},
         }) {
        EXPECT_EQ(cublasDgemm_v2(call.handle, call.transa, CUBLAS_OP_N, call.m, 3, call.k, call.alpha, a.get(),
                                 call.lda, call.b, 3, &zero, c.get(), call.ldc),
                  call.status);
    }
    std::vector<double> result(12);
    download(context, result, c, "download C");
    synchronize(context, "synchronize C");
    EXPECT_EQ(result, std::vector<double>(12, 5.0));
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
