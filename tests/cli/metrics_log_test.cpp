#include "cli/metrics_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Halcyne::Core::Vestra::Cli {
namespace {

std::string recordOf(const std::string& step) {
    return "{\"step\":" + step +
           ",\"loss\":2.5,\"learning_rate\":0.001,\"gradient_norm\":1,\"clip_scale\":1,\"tokens_per_second\":9,"
           "\"seconds\":0.5}\n";
}

std::vector<std::uint64_t> stepsOf(const MetricsText& read) {
    std::vector<std::uint64_t> steps;
    for (const StepRecord& record : read.records) {
        steps.push_back(record.step);
    }
    return steps;
}

// A metrics file holds each step once, as a whole number, in order: a step that is a float (even
// one beyond the 64-bit range, whose conversion was undefined), negative, a string, a repeat or
// one going back is dropped like a malformed line, and so is a line nested past any record's depth.
TEST(MetricsText, KeepsEachWholeStepOnceInOrder) {
    std::string deep = "{\"step\":5,\"loss\":";
    for (int i = 0; i < 100000; ++i) {
        deep += "[";
    }
    const std::string text = recordOf("1") + recordOf("1e300") + recordOf("1.5") + recordOf("2.0") + recordOf("-3") +
                             recordOf("\"4\"") + recordOf("2") + recordOf("1") + recordOf("18446744073709551616") +
                             deep + "\n" + recordOf("3") + recordOf("2") + recordOf("9") + "{\"step\":10,\"lo";
    const MetricsText read = readMetricsText(text, 8);
    EXPECT_EQ(stepsOf(read), (std::vector<std::uint64_t>{1, 2, 3}));
    EXPECT_TRUE(read.dropped);

    // What is kept is written back as it was read, and nothing is dropped from that.
    std::string written;
    for (const StepRecord& record : read.records) {
        written += metricsLine(record);
    }
    const MetricsText again = readMetricsText(written, 8);
    EXPECT_FALSE(again.dropped);
    EXPECT_EQ(stepsOf(again), stepsOf(read));
}

TEST(MetricsText, AValidationLossIsKeptWhenThere) {
    StepRecord record;
    record.step = 4;
    record.loss = 1.25;
    record.validationLoss = 0.75;
    record.seconds = 3.0;
    const MetricsText read = readMetricsText(metricsLine(record) + recordOf("5"), 100);
    ASSERT_EQ(read.records.size(), 2u);
    EXPECT_EQ(read.records[0].validationLoss, 0.75);
    EXPECT_EQ(read.records[0].seconds, 3.0);
    EXPECT_EQ(read.records[1].validationLoss, std::nullopt);
    EXPECT_FALSE(read.dropped);
}

}  // namespace
}  // namespace Halcyne::Core::Vestra::Cli
