// The driver's outcome: one error line and status 1 when the session cannot open; from the built
// program as a process, the timing fragments and the exact summary line (stderr included) with
// status 0.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "cpu_device/control.h"
#include "driver/verification_run.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr const char* kSummary =
    " transformer-cuda-training loss+gradient=CPU-PARITY+ASSISTANT-MASK adamw=STATEFUL-CPU-PARITY+DEVICE-RESIDENT-MODEL"
    " operators=PARITY model-backward=END-TO-END-PARITY model-step=CPU-TRAINER-PARITY"
    " trainer=DEVICE-TAPE+DEVICE-ACCUMULATION+BF16-TENSOR-CORE-GEMM+CLIP+SCHEDULE+RNG"
    " checkpoint=VTT-CPU-COMPATIBLE+TRANSACTIONAL\n";

TEST(VerificationRun, ASessionThatCannotOpenEndsTheRunWithItsMessage) {
    CpuDevice::injectFault(CpuDevice::FaultSite::Blas, 3, 7);  // the math-mode call
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(runVerification(out, err), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "cublasSetMathMode failed with status 7\n");
    EXPECT_EQ(CpuDevice::liveStreams(), 0u);
    EXPECT_EQ(CpuDevice::liveBlasHandles(), 0u);
}

TEST(VerificationRun, TheProgramPrintsOneLineAndExitsZero) {
    std::FILE* program = popen(VESTRA_DRIVER_PATH " 2>&1", "r");
    ASSERT_NE(program, nullptr);
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, program) != nullptr) {
        output += buffer;
    }
    EXPECT_EQ(pclose(program), 0);
    // The timing scenarios' fragments, each with its decimal digits, and then the summary.
    int end = 0;
    (void)std::sscanf(output.c_str(), "%*1[ ]attention64_ms=%*[0-9]%*1[ ]model64_ms=%*[0-9]%n", &end);
    EXPECT_EQ(output.substr(static_cast<std::size_t>(end)), kSummary) << output;
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
