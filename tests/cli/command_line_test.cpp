#include "frontends/cli/command_line.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace kv {

using CommandLine::Mode;

TEST(ModeSelection, FirstSwitchInFixedOrderWins) {
    EXPECT_EQ(CommandLine::selectMode({}), Mode::desktop);
    EXPECT_EQ(CommandLine::selectMode({"--estimate", "x", "--convert", "a", "b", "c"}),
              Mode::convert);
    EXPECT_EQ(CommandLine::selectMode({"--mcp", "--test"}), Mode::test);
    EXPECT_EQ(CommandLine::selectMode({"--CONVERT"}), Mode::desktop);
    EXPECT_EQ(CommandLine::selectMode({"--seed-files", "a.png"}), Mode::desktop);
}

TEST(ConvertCommand, BadUsageExitsTwo) {
    auto r = test::runKelvane({"--convert", "a.png"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "usage: --convert <input> <target-format> <output-dir>\n");
    EXPECT_EQ(r.out, "");

    r = test::runKelvane({"--convert", "x.png", "JPEG", "out"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.err.starts_with("unknown format 'JPEG'. valid: png jpeg jpg tiff ")) << r.err;
    EXPECT_TRUE(r.err.ends_with(" pdfPagePng pdfPageJpeg pdfSplit extractAudio\n"));
}

TEST(ConvertCommand, UnrecognisedInputExitsOneAndOutputFolderIsCreated) {
    test::TempDir dir;
    test::writeFile(dir / "a.xyz", std::string("\0\1\2\3", 4));
    const auto r = test::runKelvane(
        {"--convert", (dir / "a.xyz").string(), "png", (dir / "new" / "out").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "convert failed: This file format is not supported for conversion.\n");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "new" / "out"));
}

TEST(ConvertCommand, FailureGoesToStderrWithTheLogAndNothingIsWritten) {
    test::TempDir dir;
    test::writeFile(dir / "-odd name \u00e9.zip", "not an archive at all");
    const auto r =
        test::runKelvane({"--strip-metadata", "--convert", (dir / "-odd name \u00e9.zip").string(),
                          "tar", (dir / "out").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("[INFO] [Engine] Starting: ZIP \u2192 TAR"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\nconvert failed: File appears corrupt: "), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with("\n") &&
                r.err.find('\n', r.err.find("convert failed:")) == r.err.size() - 1);
    EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
}

TEST(ConvertCommand, FolderSourceIsRefusedClearly) {
    test::TempDir dir;
    std::filesystem::create_directory(dir / "album.zip");
    const auto r = test::runKelvane(
        {"--convert", (dir / "album.zip").string(), "tar", (dir / "out").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Not a regular file"), std::string::npos) << r.err;
}

} // namespace kv
