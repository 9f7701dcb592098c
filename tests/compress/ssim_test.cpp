// Block SSIM against an independent numpy computation, the sample tiles, and the estimate rows.
#include "compress/compression_level.h"
#include "compress/ssim.h"
#include "support/test_support.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

namespace kv::compress {
namespace {

Gray pattern(int w, int h, unsigned seed, double noise) {
    std::mt19937 random(seed);
    std::normal_distribution<double> jitter(0.0, noise);
    Gray g{w, h, std::vector<double>(static_cast<std::size_t>(w) * static_cast<std::size_t>(h))};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            g.px[static_cast<std::size_t>(y * w + x)] = std::clamp(
                128 + 80 * std::sin(x * 0.07) * std::cos(y * 0.05) + jitter(random), 0.0, 255.0);
    return g;
}

Gray shifted(const Gray& g, int by) {
    Gray out = g;
    for (int y = 0; y < g.h; ++y)
        for (int x = 0; x < g.w; ++x)
            out.px[static_cast<std::size_t>(y * g.w + x)] =
                g.px[static_cast<std::size_t>(y * g.w + std::min(g.w - 1, x + by))];
    return out;
}

std::string python() {
    return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

// The numpy script's SSIM of the two rasters.
double referenceSSIM(const Gray& a, const Gray& b) {
    test::TempDir dir;
    const auto save = [&](const Gray& g, const char* name) {
        std::string bytes(g.px.size() * sizeof(double), '\0');
        std::memcpy(bytes.data(), g.px.data(), bytes.size()); // x86-64: little-endian doubles
        test::writeFile(dir / name, bytes);
        return (dir / name).string();
    };
    const auto r = test::runProgram(
        {python(), std::string(KV_SOURCE_DIR) + "/tests/compress/block_ssim.py", save(a, "a.f64"),
         save(b, "b.f64"), std::to_string(a.w), std::to_string(a.h)});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return std::stod(r.out);
}

bool haveNumpy() {
    return test::runProgram({python(), "-c", "import numpy"}).exitCode == 0;
}

TEST(SSIM, IdenticalOrMismatchedRastersScoreOne) {
    const Gray a = pattern(64, 48, 1, 10);
    EXPECT_EQ(ssim(a, a), 1.0);
    EXPECT_EQ(ssim(a, pattern(48, 64, 1, 10)), 1.0);                      // sizes differ
    EXPECT_EQ(ssim(pattern(7, 100, 1, 10), pattern(7, 100, 2, 10)), 1.0); // narrower than a block
}

TEST(SSIM, MatchesAnIndependentComputation) {
    if (!haveNumpy())
        GTEST_SKIP() << "python3-numpy computes the reference";
    const Gray source = pattern(77, 53, 3, 6); // partial blocks at the right and bottom edges
    const Gray cases[] = {shifted(source, 1), shifted(source, 4), pattern(77, 53, 9, 6),
                          pattern(77, 53, 3, 30)};
    for (const Gray& other : cases) {
        const double ours = ssim(source, other);
        EXPECT_LT(ours, 0.999);
        EXPECT_NEAR(ours, referenceSSIM(source, other), 1e-12);
    }
}

TEST(SSIM, MeanNeedsMatchingNonEmptyLists) {
    const Gray a = pattern(16, 16, 1, 0);
    const Gray b = shifted(a, 2);
    EXPECT_FALSE(meanSSIM({}, {}));
    EXPECT_FALSE(meanSSIM(std::vector<Gray>{a}, std::vector<Gray>{a, b}));
    const auto mean = meanSSIM(std::vector<Gray>{a, a}, std::vector<Gray>{a, b});
    ASSERT_TRUE(mean);
    EXPECT_DOUBLE_EQ(*mean, (1.0 + ssim(a, b)) / 2);
}

TEST(SampleTiles, GeometryOfSmallLargeAndNarrowPictures) {
    const auto square = sampleTiles(300, 300);
    ASSERT_EQ(square.size(), 1U);
    EXPECT_EQ(square[0].left, 0);
    EXPECT_EQ(square[0].top, 0);
    EXPECT_EQ(square[0].side, 300);

    const auto photo = sampleTiles(4000, 3000); // dx = 3488, dy = 2488
    ASSERT_EQ(photo.size(), 5U);
    const std::pair<int, int> expected[] = {
        {1744, 1244}, {872, 622}, {2616, 622}, {872, 1866}, {2616, 1866}};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(photo[i].side, 512);
        EXPECT_EQ(photo[i].left, expected[i].first) << i;
        EXPECT_EQ(photo[i].top, expected[i].second) << i;
    }

    EXPECT_TRUE(sampleTiles(7, 100).empty());
    const auto wide = sampleTiles(300, 200); // not square: five tiles of 200, only x varies
    ASSERT_EQ(wide.size(), 5U);
    EXPECT_EQ(wide[0].side, 200);
    EXPECT_EQ(wide[2].left, 75);
    EXPECT_EQ(wide[4].top, 0);
    EXPECT_EQ(sampleTiles(512, 512).size(), 1U);
    EXPECT_EQ(sampleTiles(513, 513).size(), 5U);
}

} // namespace
} // namespace kv::compress

namespace kv {
namespace {

TEST(CompressionLevel, RawValuesTitlesAndParsing) {
    std::vector<std::string> raws;
    for (const auto level : allCompressionLevels) {
        raws.emplace_back(rawValue(level));
        EXPECT_EQ(compressionLevelFromRaw(rawValue(level)), level);
    }
    EXPECT_EQ(raws, (std::vector<std::string>{"maximum", "high", "balanced", "small", "tiny"}));
    EXPECT_FALSE(compressionLevelFromRaw("Maximum"));
    EXPECT_FALSE(compressionLevelFromRaw("extreme"));
    EXPECT_FALSE(compressionLevelFromRaw(""));
    EXPECT_EQ(title(CompressionLevel::maximum), "Maximum Quality");
    EXPECT_EQ(title(CompressionLevel::tiny), "Smallest");
    EXPECT_EQ(hint(CompressionLevel::small), "Good for the web");
}

TEST(CompressionEstimate, SavedPercentAndQualityText) {
    CompressionEstimate row{.level = CompressionLevel::high, .byteSize = 3, .originalSize = 1000};
    EXPECT_EQ(row.savedPercent(), 99); // 99.7 % is shown as 99
    row.originalSize = 0;
    EXPECT_EQ(row.savedPercent(), 0);
    row = {.byteSize = 745, .originalSize = 1000};
    EXPECT_EQ(row.savedPercent(), 26); // 25.5 rounds away from zero
    row = {.byteSize = 1200, .originalSize = 1000};
    EXPECT_EQ(row.savedPercent(), 0); // larger is clamped, never negative
    EXPECT_EQ(savedText(row), "0%");
    EXPECT_EQ(row.id(), "maximum");

    row = {.qualityLoss = std::nullopt, .isEstimate = true};
    EXPECT_EQ(qualityText(row), "estimated");
    row.isEstimate = false;
    EXPECT_EQ(qualityText(row), "\u2014");
    row.qualityLoss = 0.0499;
    EXPECT_EQ(qualityText(row), "no visible loss");
    row.qualityLoss = 0.05;
    EXPECT_EQ(qualityText(row), "0.1% loss");
    row.qualityLoss = 12.345;
    EXPECT_EQ(qualityText(row), "12.3% loss");
}

} // namespace
} // namespace kv
