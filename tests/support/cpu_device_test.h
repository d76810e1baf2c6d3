// Base of the tests that drive the CPU device directly: every test starts and ends with no pending
// fault and no last error, and must give back every allocation it made.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "cpu_device/control.h"
#include "cuda/device_platform.h"

namespace Halcyne::Core::Vestra::Testing {

class CpuDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CpuDevice::clearFaults();
        (void)cudaGetLastError();
        allocationsBefore_ = CpuDevice::liveAllocations();
    }

    void TearDown() override {
        CpuDevice::clearFaults();
        (void)cudaGetLastError();
        EXPECT_EQ(CpuDevice::liveAllocations(), allocationsBefore_) << "device memory leaked";
    }

  private:
    std::uint64_t allocationsBefore_ = 0;
};

// Turns the CPU device's checking mode off for one scope: for a test whose kernel is order-dependent
// on purpose, or that reads unwritten memory to see the fill pattern.
class UncheckedScope {
  public:
    UncheckedScope() : wasChecking_(CpuDevice::checking()) { CpuDevice::setChecking(false); }
    ~UncheckedScope() { CpuDevice::setChecking(wasChecking_); }
    UncheckedScope(const UncheckedScope&) = delete;
    UncheckedScope& operator=(const UncheckedScope&) = delete;

  private:
    bool wasChecking_;
};

}  // namespace Halcyne::Core::Vestra::Testing
