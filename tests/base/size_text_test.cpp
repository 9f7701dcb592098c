#include "base/size_text.h"
#include "base/uuid.h"

#include <gtest/gtest.h>
#include <limits>
#include <set>

namespace kv {

TEST(ByteCountText, FollowsDecimalUnitsAndRounding) {
    EXPECT_EQ(formatByteCount(0), "Zero KB");
    EXPECT_EQ(formatByteCount(1), "1 byte");
    EXPECT_EQ(formatByteCount(2), "2 bytes");
    EXPECT_EQ(formatByteCount(999), "999 bytes");
    EXPECT_EQ(formatByteCount(1000), "1 KB");
    EXPECT_EQ(formatByteCount(12'345), "12 KB");
    EXPECT_EQ(formatByteCount(12'500), "13 KB"); // half rounds up
    EXPECT_EQ(formatByteCount(1'234'567), "1.2 MB");
    EXPECT_EQ(formatByteCount(1'250'000), "1.3 MB");
    EXPECT_EQ(formatByteCount(2'147'483'648), "2.15 GB");
    EXPECT_EQ(formatByteCount(3'000'000'000'000), "3.00 TB");
}

TEST(ByteCountText, RoundingUpToTheNextUnitSwitchesUnit) {
    EXPECT_EQ(formatByteCount(999'600), "1.0 MB");
    EXPECT_EQ(formatByteCount(999'999'999), "1.00 GB");
}

TEST(DecimalText, WholeNumbersKeepOneDecimalOthersTheirShortestForm) {
    EXPECT_EQ(formatDecimal(10), "10.0");
    EXPECT_EQ(formatDecimal(-3), "-3.0");
    EXPECT_EQ(formatDecimal(12.5), "12.5");
    EXPECT_EQ(formatDecimal(7.25), "7.25");
    EXPECT_EQ(formatDecimal(0.1), "0.1");
    EXPECT_EQ(formatDecimal(1e300), "1e+300");
    EXPECT_EQ(formatDecimal(std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(formatDecimal(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(Uuid, IsVersion4AndCanonicalUpperCase) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const auto text = Uuid::random().toString();
        ASSERT_EQ(text.size(), 36u);
        EXPECT_EQ(text[14], '4');
        EXPECT_TRUE(text[19] == '8' || text[19] == '9' || text[19] == 'A' || text[19] == 'B')
            << text;
        EXPECT_EQ(text.find_first_of("abcdef"), std::string::npos);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

} // namespace kv
