// "--estimate", "--compress", "--help" and "--version" run as a user runs them.
#include "formats/supported_format.h"
#include "frontends/cli/command_line.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <set>
#include <sstream>

namespace kv {
namespace {

TEST(EstimateCommand, TableColumnsAreFixedAndLongValuesAreNotCut) {
    const std::vector<CompressionEstimate> rows{
        {.level = CompressionLevel::maximum,
         .byteSize = 1234567,
         .qualityLoss = 0.01,
         .originalSize = 5000000},
        {.level = CompressionLevel::small,
         .byteSize = 999,
         .qualityLoss = 3.25,
         .originalSize = 5000000},
        {.level = CompressionLevel::tiny, .byteSize = 12, .originalSize = 0},
        {.level = CompressionLevel::high, .byteSize = 40, .originalSize = 100, .isEstimate = true},
    };
    EXPECT_EQ(CommandLine::estimateTable(rows),
              "LEVEL                   SIZE   SAVED  QUALITY\n"
              "Maximum Quality       1.2 MB     75%  no visible loss\n"
              "Small              999 bytes     99%  3.2% loss\n"
              "Smallest            12 bytes      0%  \u2014\n"
              "High                40 bytes     60%  estimated\n");
}

TEST(EstimateCommand, UsageAndUnrecognisedFile) {
    auto r = test::runKelvane({"--estimate"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "usage: --estimate <file>\n");
    EXPECT_EQ(r.out, "");

    test::TempDir dir;
    test::writeFile(dir / "a.xyz", std::string("\0\1\2\3", 4));
    r = test::runKelvane({"--estimate", (dir / "a.xyz").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "unrecognised file\n"); // the one result-like failure on stdout
}

TEST(EstimateCommand, PrintsSourceLineTableAndTiming) {
    if (!test::haveTool("ffmpeg"))
        GTEST_SKIP() << "ffmpeg makes the fixture";
    test::TempDir dir;
    ASSERT_EQ(test::runProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                                "sine=duration=2:sample_rate=48000", "-ac", "2",
                                (dir / "tone.wav").string()})
                  .exitCode,
              0);
    const auto r = test::runKelvane({"--estimate", (dir / "tone.wav").string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("source: WAV  384 KB  -> compresses as M4A\n"
                                  "LEVEL                   SIZE   SAVED  QUALITY\n"
                                  "Maximum Quality        64 KB     83%  estimated\n"))
        << r.out;
    EXPECT_NE(r.out.find("\nSmallest               16 KB     96%  estimated\nmeasured in "),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(r.out.ends_with("s\n"));

    test::writeFile(dir / "notes.txt", "hello");
    const auto text = test::runKelvane({"--estimate", (dir / "notes.txt").string()});
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_TRUE(text.out.starts_with("source: TXT  5 bytes  -> compresses as n/a\nLEVEL "))
        << text.out;
}

TEST(CompressCommand, UsageUnknownLevelAndFailures) {
    const std::string usage =
        "usage: --compress <file> <maximum|high|balanced|small|tiny> <outdir>\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--compress", "a.wav", "high"},
          {"--compress", "a.wav", "extreme", "out"},
          {"--compress", "a.wav", "High", "out"},
          {"x", "--compress"}}) {
        const auto r = test::runKelvane(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.err, usage);
    }
    test::TempDir dir;
    test::writeFile(dir / "a.xyz", std::string("\0\1\2\3", 4));
    auto r =
        test::runKelvane({"--compress", (dir / "a.xyz").string(), "high", (dir / "out").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "unrecognised file\n");

    test::writeFile(dir / "notes.txt", "hello");
    r = test::runKelvane(
        {"--compress", (dir / "notes.txt").string(), "high", (dir / "out").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(
        r.err.ends_with("compress failed: Converting TXT \u2192 compressed is not supported.\n"))
        << r.err;
    EXPECT_EQ(r.out, "");
}

TEST(CompressCommand, PrintsTheOutputPath) {
    if (!test::haveTool("ffmpeg"))
        GTEST_SKIP() << "ffmpeg makes the fixture";
    test::TempDir dir;
    ASSERT_EQ(test::runProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=2",
                                (dir / "t.wav").string()})
                  .exitCode,
              0);
    const auto r =
        test::runKelvane({"--compress", (dir / "t.wav").string(), "tiny", (dir / "out").string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, (dir / "out" / "t (compressed).m4a").string() + "\n");
    EXPECT_NE(r.err.find("[OK] [Compress] Compressed Smallest \u2192 "), std::string::npos)
        << r.err;
}

TEST(HelpAndVersion, PrintOnStdoutWithStatusZero) {
    for (const char* flag : {"--help", "-h"}) {
        const auto r = test::runKelvane({flag});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "");
        for (const char* needle :
             {"--convert <input> <target-format> <output-dir>", "--estimate <file>",
              "--compress <file> <maximum|high|balanced|small|tiny> <outdir>", "--mcp",
              "Video:      mp4 mov m4v avi webm\n", " woff2\n", "Exit status: 0 success"})
            EXPECT_NE(r.out.find(needle), std::string::npos) << needle;
    }
    const auto v = test::runKelvane({"--version"});
    EXPECT_EQ(v.exitCode, 0);
    EXPECT_TRUE(v.out.starts_with("kelvane ")) << v.out;
    EXPECT_EQ(v.out.find('\n'), v.out.size() - 1);
    // A mode switch still wins over --help.
    EXPECT_EQ(test::runKelvane({"--help", "--estimate"}).err, "usage: --estimate <file>\n");
}

} // namespace
} // namespace kv

namespace kv {
namespace {

std::string wordsOf(const std::string& text, const std::string& variable) {
    const auto start = text.find("local " + variable + "=\"");
    if (start == std::string::npos)
        return "";
    const auto open = text.find('"', start) + 1;
    return text.substr(open, text.find('"', open) - open);
}

TEST(ManualAndCompletion, ListEveryFormatIdAndLevel) {
    const std::string completion =
        test::readFile(std::string(KV_SOURCE_DIR) + "/src/frontends/cli/kelvane-completion.bash");
    const std::string manual =
        test::readFile(std::string(KV_SOURCE_DIR) + "/src/frontends/cli/kelvane.1");
    std::set<std::string> manualWords;
    std::istringstream words(manual.substr(manual.find(".SH FORMAT IDS")));
    for (std::string word; words >> word;)
        manualWords.insert(word);
    std::string formats;
    for (const auto format : allFormats()) {
        if (!formats.empty())
            formats += ' ';
        formats += rawValue(format);
        EXPECT_TRUE(manualWords.count(std::string(rawValue(format)))) << rawValue(format);
    }
    EXPECT_EQ(wordsOf(completion, "formats"), formats);
    std::string levels;
    for (const auto level : allCompressionLevels) {
        if (!levels.empty())
            levels += ' ';
        levels += rawValue(level);
        EXPECT_NE(manual.find(".B " + std::string(rawValue(level)) + "\n"), std::string::npos)
            << rawValue(level);
    }
    EXPECT_EQ(wordsOf(completion, "levels"), levels);
    const auto syntax = test::runProgram(
        {"bash", "-n", std::string(KV_SOURCE_DIR) + "/src/frontends/cli/kelvane-completion.bash"});
    EXPECT_EQ(syntax.exitCode, 0) << syntax.err;
}

} // namespace
} // namespace kv
