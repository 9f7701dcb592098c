#include "engine/job.h"
#include "engine/logger.h"
#include "engine/progress_throttle.h"

#include <gtest/gtest.h>
#include <regex>
#include <vector>

namespace kv {

TEST(ProgressThrottle, PassesFirstValueAndOneButDropsSmallOrFastSteps) {
    double now = 100.0;
    std::vector<double> seen;
    ProgressThrottle throttle(
        Uuid::random(), [&](const Uuid&, double v) { seen.push_back(v); }, [&] { return now; });
    throttle.callback(0.10);
    now += 0.001;
    throttle.callback(0.11);
    now += 0.001;
    throttle.callback(0.13); // far enough apart in value, too soon in time
    EXPECT_EQ(seen, (std::vector<double>{0.10}));
    throttle.callback(1.0);
    EXPECT_EQ(seen, (std::vector<double>{0.10, 1.0}));
    now += 0.2;
    throttle.callback(1.01); // 1.0 and above always pass
    throttle.callback(0.5);  // 0.2 s later but the last emit was just now
    EXPECT_EQ(seen.size(), 3u);
}

TEST(ProgressThrottle, EmitsWhenBothDeltaAndIntervalAreMet) {
    double now = 0.0;
    std::vector<double> seen;
    ProgressThrottle throttle(
        Uuid::random(), [&](const Uuid&, double v) { seen.push_back(v); }, [&] { return now; });
    throttle.callback(0.0);
    now = 0.09;
    throttle.callback(0.01); // interval met, delta not
    throttle.callback(0.03);
    EXPECT_EQ(seen, (std::vector<double>{0.0, 0.03}));
}

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ConversionLogger::shared().setEcho(ConversionLogger::Echo::none);
        ConversionLogger::shared().clear();
    }
};

TEST_F(LoggerTest, TrimsFrom501To400KeepingTheNewest) {
    auto& log = ConversionLogger::shared();
    for (int i = 0; i < 500; ++i)
        log.info(std::to_string(i), "Test");
    EXPECT_EQ(log.entries().size(), 500u);
    log.info("500", "Test");
    const auto entries = log.entries();
    ASSERT_EQ(entries.size(), 400u);
    EXPECT_EQ(entries.front().message, "101");
    EXPECT_EQ(entries.back().message, "500");
}

TEST_F(LoggerTest, OneLinerAndExportText) {
    auto& log = ConversionLogger::shared();
    log.success("Completed in 1.2s \u2192 12 KB", "Engine");
    log.warning("careful", "Archive", "a.png");
    log.error("bad", "Font");
    const auto entries = log.entries();
    const std::regex plain(
        R"(\[\d\d:\d\d:\d\d\.\d\d\d\] \[OK\] \[Engine\] Completed in 1\.2s → 12 KB)");
    EXPECT_TRUE(std::regex_match(entries[0].oneLiner(), plain)) << entries[0].oneLiner();
    EXPECT_TRUE(entries[1].oneLiner().ends_with("[WARN] [Archive] careful \u2014 a.png"));
    const auto text = log.exportText();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    log.clear();
    EXPECT_EQ(log.exportText(), "");
    log.debug("x", "Test");
    EXPECT_EQ(log.entries().size(), 1u);
}

TEST(ConversionJob, SizeDeltaText) {
    ConversionJob job;
    job.fileSize = 2'000'000;
    EXPECT_EQ(job.sizeDeltaFormatted(), std::nullopt);
    job.outputSize = 1'000'000;
    EXPECT_EQ(job.sizeDeltaFormatted(), "2.0 MB \u2192 1.0 MB \u00B7 \u2212"
                                        "50%");
    job.outputSize = 2'000'000;
    EXPECT_EQ(job.sizeDeltaFormatted(), "2.0 MB \u2192 2.0 MB");
    job.outputSize = 3'000'000;
    EXPECT_EQ(job.sizeDeltaFormatted(), "2.0 MB \u2192 3.0 MB \u00B7 +50%");
    job.fileSize = 0;
    EXPECT_EQ(job.sizeDeltaFormatted(), std::nullopt);
    EXPECT_EQ(rawValue(ConversionStatus::converting), "Converting");
}

} // namespace kv
