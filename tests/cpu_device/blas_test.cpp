// cuBLAS semantics of the CPU device against a plain loop: column-major storage, both transposes,
// leading dimensions beyond the matrix, beta = 0 that never reads C, BLAS argument checks, and the
// BF16-in, FP32-out product. Both sides sum over k in index order, so the results are equal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <tuple>
#include <vector>

#include "cpu_device/bfloat16_rounding.h"
#include "cuda/device_platform.h"
#include "support/cpu_device_test.h"

namespace Halcyne::Core::Vestra {
namespace {

struct Product {
    bool transposeA;
    bool transposeB;
    int m;
    int n;
    int k;
    int padding;  // added to every leading dimension
    double beta;
};

// Device memory copied from the host, freed by the destructor.
template <class T>
class DeviceCopy {
  public:
    explicit DeviceCopy(const std::vector<T>& host) : size_(host.size()) {
        EXPECT_EQ(cudaMallocAsync(&memory_, bytes(), nullptr), cudaSuccess);
        EXPECT_EQ(cudaMemcpyAsync(memory_, host.data(), bytes(), cudaMemcpyHostToDevice), cudaSuccess);
    }
    DeviceCopy(const DeviceCopy&) = delete;
    DeviceCopy& operator=(const DeviceCopy&) = delete;
    ~DeviceCopy() { (void)cudaFreeAsync(memory_, nullptr); }

    [[nodiscard]] T* get() const { return static_cast<T*>(memory_); }
    [[nodiscard]] std::vector<T> read() const {
        std::vector<T> host(size_);
        EXPECT_EQ(cudaMemcpyAsync(host.data(), memory_, bytes(), cudaMemcpyDeviceToHost), cudaSuccess);
        return host;
    }

  private:
    [[nodiscard]] std::size_t bytes() const { return size_ * sizeof(T); }
    std::size_t size_;
    void* memory_ = nullptr;
};

template <class T>
std::vector<T> filled(std::size_t count, std::uint32_t seed) {
    std::vector<T> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = static_cast<T>(static_cast<int>((i * 37 + seed * 11) % 23) - 11) / T{8};
    }
    return values;
}

// C = alpha op(A) op(B) + beta C, column-major, the textbook way.
template <class T, class Load>
std::vector<T> plainProduct(const Product& p, T alpha, const auto& a, int lda, const auto& b, int ldb, T beta,
                            std::vector<T> c, int ldc, Load load) {
    for (int j = 0; j < p.n; ++j) {
        for (int i = 0; i < p.m; ++i) {
            T sum{0};
            for (int q = 0; q < p.k; ++q) {
                const T left = load(p.transposeA ? a[q + i * lda] : a[i + q * lda]);
                const T right = load(p.transposeB ? b[j + q * ldb] : b[q + j * ldb]);
                sum += left * right;
            }
            T& out = c[i + j * ldc];
            out = beta == T{0} ? alpha * sum : alpha * sum + beta * out;
        }
    }
    return c;
}

class CpuDeviceBlas : public Testing::CpuDeviceTest {
  protected:
    void SetUp() override {
        CpuDeviceTest::SetUp();
        ASSERT_EQ(cublasCreate_v2(&handle), CUBLAS_STATUS_SUCCESS);
    }
    void TearDown() override {
        EXPECT_EQ(cublasDestroy_v2(handle), CUBLAS_STATUS_SUCCESS);
        CpuDeviceTest::TearDown();
    }
    cublasHandle_t handle = nullptr;
};

const std::vector<Product> kProducts = [] {
    std::vector<Product> products;
    for (const bool transposeA : {false, true}) {
        for (const bool transposeB : {false, true}) {
            for (const auto& [m, n, k] : {std::tuple{1, 1, 1}, std::tuple{3, 5, 7}, std::tuple{17, 4, 1},
                                          std::tuple{2, 3, 0}, std::tuple{0, 3, 2}}) {
                for (const int padding : {0, 3}) {
                    for (const double beta : {0.0, -0.5}) {
                        products.push_back({transposeA, transposeB, m, n, k, padding, beta});
                    }
                }
            }
        }
    }
    return products;
}();

TEST_F(CpuDeviceBlas, DgemmMatchesThePlainProduct) {
    for (const Product& p : kProducts) {
        SCOPED_TRACE(::testing::Message() << "transposes " << p.transposeA << p.transposeB << ", m " << p.m << ", n "
                                          << p.n << ", k " << p.k << ", padding " << p.padding << ", beta " << p.beta);
        const int lda = std::max(1, p.transposeA ? p.k : p.m) + p.padding;
        const int ldb = std::max(1, p.transposeB ? p.n : p.k) + p.padding;
        const int ldc = std::max(1, p.m) + p.padding;
        const auto a = filled<double>(static_cast<std::size_t>(lda) * (p.transposeA ? p.m : p.k) + 1, 1);
        const auto b = filled<double>(static_cast<std::size_t>(ldb) * (p.transposeB ? p.k : p.n) + 1, 2);
        // With beta = 0, C holds NaN that must not reach the result.
        const auto c = p.beta == 0.0 ? std::vector<double>(static_cast<std::size_t>(ldc) * p.n + 1,
                                                           std::numeric_limits<double>::quiet_NaN())
                                     : filled<double>(static_cast<std::size_t>(ldc) * p.n + 1, 3);
        const DeviceCopy deviceA(a);
        const DeviceCopy deviceB(b);
        const DeviceCopy deviceC(c);
        const double alpha = 1.5;
        ASSERT_EQ(cublasDgemm_v2(handle, p.transposeA ? CUBLAS_OP_T : CUBLAS_OP_N,
                                 p.transposeB ? CUBLAS_OP_T : CUBLAS_OP_N, p.m, p.n, p.k, &alpha, deviceA.get(), lda,
                                 deviceB.get(), ldb, &p.beta, deviceC.get(), ldc),
                  CUBLAS_STATUS_SUCCESS);
        const auto expected =
            plainProduct<double>(p, alpha, a, lda, b, ldb, p.beta, c, ldc, [](double value) { return value; });
        const auto result = deviceC.read();
        for (std::size_t i = 0; i < result.size(); ++i) {
            // Padding rows and the trailing guard element stay as they were, NaN included.
            if (std::isnan(expected[i])) {
                EXPECT_TRUE(std::isnan(result[i])) << "element " << i;
            } else {
                EXPECT_EQ(result[i], expected[i]) << "element " << i;
            }
        }
    }
}

TEST_F(CpuDeviceBlas, GemmExTakesBfloat16AndGivesFloat) {
    for (const Product& p : kProducts) {
        const int lda = std::max(1, p.transposeA ? p.k : p.m) + p.padding;
        const int ldb = std::max(1, p.transposeB ? p.n : p.k) + p.padding;
        const int ldc = std::max(1, p.m) + p.padding;
        const auto toBf16 = [](const std::vector<double>& values) {
            std::vector<__nv_bfloat16> converted;
            for (const double value : values) {
                converted.push_back(__double2bfloat16(value * 1.01));
            }
            return converted;
        };
        const auto a = toBf16(filled<double>(static_cast<std::size_t>(lda) * (p.transposeA ? p.m : p.k), 4));
        const auto b = toBf16(filled<double>(static_cast<std::size_t>(ldb) * (p.transposeB ? p.k : p.n), 5));
        const auto c = p.beta == 0.0
                           ? std::vector<float>(static_cast<std::size_t>(ldc) * p.n, std::numeric_limits<float>::quiet_NaN())
                           : filled<float>(static_cast<std::size_t>(ldc) * p.n, 6);
        const DeviceCopy deviceA(a);
        const DeviceCopy deviceB(b);
        const DeviceCopy deviceC(c);
        const float alpha = 0.75f;
        const auto beta = static_cast<float>(p.beta);
        ASSERT_EQ(cublasGemmEx(handle, p.transposeA ? CUBLAS_OP_T : CUBLAS_OP_N, p.transposeB ? CUBLAS_OP_T : CUBLAS_OP_N,
                               p.m, p.n, p.k, &alpha, deviceA.get(), CUDA_R_16BF, lda, deviceB.get(), CUDA_R_16BF, ldb,
                               &beta, deviceC.get(), CUDA_R_32F, ldc, CUBLAS_COMPUTE_32F_FAST_16BF, CUBLAS_GEMM_DEFAULT),
                  CUBLAS_STATUS_SUCCESS);
        const auto expected = plainProduct<float>(p, alpha, a, lda, b, ldb, beta, c, ldc, [](__nv_bfloat16 value) {
            return CpuDevice::bfloat16BitsToFloat(value.__x);
        });
        const auto result = deviceC.read();
        for (std::size_t i = 0; i < result.size(); ++i) {
            if (!std::isnan(expected[i]) || !std::isnan(result[i])) {
                EXPECT_EQ(result[i], expected[i]) << "element " << i;
            }
        }
    }
}

TEST_F(CpuDeviceBlas, RefusedArgumentsGiveTheirStatusAndLeaveCAlone) {
    const DeviceCopy a(std::vector<double>(12, 1.0));
    const DeviceCopy c(std::vector<double>(12, 5.0));
    const double one = 1.0;
    struct Case {
        cublasHandle_t handle;
        cublasOperation_t transa;
        int m, n, k, lda, ldb, ldc;
        const double* alpha;
        const double* b;
        cublasStatus_t status;
    };
    const double* deviceB = a.get();
    const std::vector<double> host(12, 1.0);
    for (const Case& refused : {
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 3, 3, 3, &one, deviceB, CUBLAS_STATUS_SUCCESS},
             Case{nullptr, CUBLAS_OP_N, 3, 3, 3, 3, 3, 3, &one, deviceB, CUBLAS_STATUS_NOT_INITIALIZED},
             Case{handle, static_cast<cublasOperation_t>(5), 3, 3, 3, 3, 3, 3, &one, deviceB,
                  CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, -1, 3, 3, 3, 3, 3, &one, deviceB, CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, 3, -1, 3, 3, 3, 3, &one, deviceB, CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, 3, 3, -1, 3, 3, 3, &one, deviceB, CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 2, 3, 3, &one, deviceB, CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_T, 3, 3, 4, 3, 4, 3, &one, deviceB, CUBLAS_STATUS_INVALID_VALUE},  // lda < k
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 3, 2, 3, &one, deviceB, CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 3, 3, 2, &one, deviceB, CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 3, 3, 3, nullptr, deviceB, CUBLAS_STATUS_INVALID_VALUE},
             Case{handle, CUBLAS_OP_N, 3, 3, 3, 3, 3, 3, &one, host.data(), CUBLAS_STATUS_EXECUTION_FAILED},
             Case{handle, CUBLAS_OP_N, 3, 5, 3, 3, 3, 3, &one, deviceB, CUBLAS_STATUS_EXECUTION_FAILED},
         }) {
        const double zero = 0.0;
        EXPECT_EQ(cublasDgemm_v2(refused.handle, refused.transa, CUBLAS_OP_N, refused.m, refused.n, refused.k,
                                 refused.alpha, a.get(), refused.lda, refused.b, refused.ldb, &zero, c.get(),
                                 refused.ldc),
                  refused.status);
        if (refused.status != CUBLAS_STATUS_SUCCESS) {
            EXPECT_EQ(c.read()[0], 3.0) << "a refused call wrote C";
        }
    }
    const float alpha = 1.0f;
    EXPECT_EQ(cublasGemmEx(handle, CUBLAS_OP_N, CUBLAS_OP_N, 1, 1, 1, &alpha, a.get(), CUDA_R_64F, 1, a.get(),
                           CUDA_R_64F, 1, &alpha, c.get(), CUDA_R_64F, 1, CUBLAS_COMPUTE_64F, CUBLAS_GEMM_DEFAULT),
              CUBLAS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(cublasSetMathMode(handle, static_cast<cublasMath_t>(9)), CUBLAS_STATUS_INVALID_VALUE);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
