// SRT and WebVTT cues, timestamps and writers.
#include "data/srt.h"
#include "data/webvtt.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace kv::DataConverter {
namespace {

TEST(Subtitles, TimestampFields) {
    const std::vector<std::pair<std::string_view, double>> good{{"00:00:01,000", 1},
                                                                {"01:02:03.5", 3723.5},
                                                                {"2:03.5", 123.5},
                                                                {"7", 7},
                                                                {" 00:00:04.000 align:start", 4},
                                                                {"9:x:01:00", 60},
                                                                {"xx:05", 5},
                                                                {"1:2:3:4", 3600 * 2 + 3 * 60 + 4}};
    for (const auto& [field, seconds] : good) {
        const auto parsed = parseTimestamp(field);
        ASSERT_TRUE(parsed.has_value()) << field;
        EXPECT_DOUBLE_EQ(*parsed, seconds) << field;
    }
    for (std::string_view bad : {"", "  ", ":::", "00:00:01x", "1:2x", "abc"})
        EXPECT_FALSE(parseTimestamp(bad)) << bad;
}

TEST(Subtitles, StampNeverWritesAnInvalidTime) {
    EXPECT_EQ(stamp(3723.5, true), "01:02:03,500");
    EXPECT_EQ(stamp(3723.5, false), "01:02:03.500");
    EXPECT_EQ(stamp(1.9996, true), "00:00:02,000"); // the rounded fraction carries
    EXPECT_EQ(stamp(59.9999, false), "00:01:00.000");
    EXPECT_EQ(stamp(-3, true), "00:00:00,000");
    EXPECT_EQ(stamp(std::nan(""), true), "00:00:00,000");
    EXPECT_EQ(stamp(std::numeric_limits<double>::infinity(), true), "00:00:00,000");
    EXPECT_EQ(stamp(1e300, true), "00:00:00,000");
    EXPECT_EQ(stamp(360000.25, true), "100:00:00,250"); // hours past 99 take more digits
}

const std::string kSRT =
    "5\n00:00:01,000 --> 00:00:04,500\nFiles are converted\non this machine.\n\n"
    "9\n00:00:04,600 --> 00:00:08,250\n  Nothing is uploaded.  \n\n"
    "12\n01:00:00,000 --> 01:00:03,750\nAn hour in.\n";

TEST(Subtitles, SRTReadsLikeWithLineFeedsAndNoMark) {
    const auto cues = parseSRT(kSRT);
    ASSERT_EQ(cues.size(), 3u);
    EXPECT_EQ(cues[0], (Cue{5, 1.0, 4.5, "Files are converted\non this machine."}));
    EXPECT_EQ(cues[1].text, "Nothing is uploaded.");
    EXPECT_EQ(cues[2].index, 12);

    std::string crlf;
    for (char c : kSRT)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(parseSRT("\xEF\xBB\xBF" + crlf), cues);
}

TEST(Subtitles, SRTRoundTripRenumbersAndKeepsHours) {
    const std::string srt = writeSRT(parseSRT(kSRT));
    EXPECT_EQ(srt, "1\n00:00:01,000 --> 00:00:04,500\nFiles are converted\non this machine.\n\n"
                   "2\n00:00:04,600 --> 00:00:08,250\nNothing is uploaded.\n\n"
                   "3\n01:00:00,000 --> 01:00:03,750\nAn hour in.\n");
    const std::string vtt = writeVTT(parseSRT(srt));
    EXPECT_NE(vtt.find("WEBVTT\n\n00:00:01.000 --> 00:00:04.500\n"), std::string::npos);
    EXPECT_NE(vtt.find("\n\n01:00:00.000 --> 01:00:03.750\nAn hour in.\n"), std::string::npos);
    EXPECT_EQ(writeSRT(parseVTT(vtt)), srt);
}

TEST(Subtitles, SRTBlocksThatAreSkipped) {
    SubtitleReadReport report;
    const auto cues =
        parseSRT("1\n00:00:01,000 --> 00:00:02,000\n   \n\n"     // no text: dropped
                 "stray text\n\n"                                // no timing: lost, reported
                 "00:00:03,000 --> 00:00:04,000\nno number\n\n"  // index by position
                 "x\n00:00:05,000 --> bad\ntext\n\n"             // bad time: reported
                 "7\n00:00:06,000 --> 00:00:05,000 --> 1\nt\n\n" // two arrows: reported
                 "-2\n00:00:07,000 --> 00:00:06,000\nback\n\n\n",
                 &report);
    ASSERT_EQ(cues.size(), 2u);
    EXPECT_EQ(cues[0], (Cue{1, 3, 4, "no number"}));
    EXPECT_EQ(cues[1], (Cue{-2, 7, 6, "back"})); // end before start is not the parser's business
    EXPECT_EQ(report.skippedBlocks, 3u);
    EXPECT_EQ(report.firstSkippedBlock, 2u);
}

TEST(Subtitles, VTTHeaderNotesStylesAndShortTimes) {
    const std::string vtt = "\xEF\xBB\xBFWEBVTT - a title\nKind: captions\n\n"
                            "STYLE\n::cue { color: red }\n\n"
                            "NOTE this is\na comment\n\n"
                            "intro\n00:01.500 --> 00:04.000 align:start line:0\n<b>Hello</b>\n\n"
                            "REGION\nid:fred\n\n"
                            "2\r\n00:00:05.000 --> 00:00:06.000\r\nSecond\r\nline two\r\n";
    const auto cues = parseVTT(vtt);
    ASSERT_EQ(cues.size(), 2u);
    EXPECT_EQ(cues[0], (Cue{1, 1.5, 4.0, "<b>Hello</b>"}));
    EXPECT_EQ(cues[1], (Cue{2, 5.0, 6.0, "Second\nline two"}));
    EXPECT_EQ(writeSRT(cues), "1\n00:00:01,500 --> 00:00:04,000\n<b>Hello</b>\n\n2\n00:00:05,000 "
                              "--> 00:00:06,000\nSecond\nline two\n");
    // A header block that already holds a cue is kept.
    EXPECT_EQ(parseVTT("WEBVTT\n00:00:01.000 --> 00:00:02.000\nx\n").size(), 1u);
    EXPECT_TRUE(parseVTT("WEBVTT\n\nNOTE only\n").empty());
}

} // namespace
} // namespace kv::DataConverter
