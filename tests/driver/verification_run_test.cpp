// The driver's outcome: one error line and status 1 when the session cannot open; from the built
// program as a process, the timing fragments and the exact summary line (stderr included) with
// status 0.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>

#include "cpu_device/control.h"
#include "driver/verification_run.h"

namespace Halcyne::Core::Vestra {
namespace {

constexpr const char* kSummary =
    " transformer-cuda-training loss+gradient=CPU-PARITY+ASSISTANT-MASK adamw=STATEFUL-CPU-PARITY+DEVICE-RESIDENT-MODEL"
    " operators=PARITY model-backward=END-TO-END-PARITY model-step=CPU-TRAINER-PARITY"
    " trainer=DEVICE-TAPE+DEVICE-ACCUMULATION+BF16-TENSOR-CORE-GEMM+CLIP+SCHEDULE+RNG"
    " checkpoint=VTT-CPU-COMPATIBLE+TRANSACTIONAL\n";

// The timing scenarios' fragments, each with its decimal digits (no separator), and then the summary.
::testing::AssertionResult isSuccessLine(const std::string& output) {
    std::string_view rest = output;
    for (const std::string_view fragment : {" attention64_ms=", " model64_ms="}) {
        const std::size_t end = rest.starts_with(fragment) ? rest.find_first_not_of("0123456789", fragment.size()) : 0;
        if (end <= fragment.size() || end == std::string_view::npos) {
            return ::testing::AssertionFailure() << "no" << fragment << " in \"" << output << "\"";
        }
        rest.remove_prefix(end);
    }
    if (rest != kSummary) {
        return ::testing::AssertionFailure() << "not the summary: \"" << rest << "\"";
    }
    return ::testing::AssertionSuccess();
}

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
    EXPECT_TRUE(isSuccessLine(output));
}

}  // namespace
}  // namespace Halcyne::Core::Vestra
