#include "frontends/tool_server/tools.h"
#include "support/test_support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace kv::ToolServer {
namespace {

ToolResult call(std::string_view name, const char* argumentsJson) {
    return callTool(name, Json::parse(argumentsJson));
}

ToolResult callWith(std::string_view name, Json arguments) {
    return callTool(name, arguments);
}

void expectFailure(const ToolResult& result, const std::string& text) {
    EXPECT_TRUE(result.isError) << result.text;
    EXPECT_EQ(result.text, text);
    EXPECT_FALSE(result.structured);
    EXPECT_FALSE(result.toJson().contains("structuredContent"));
    EXPECT_EQ(result.toJson()["isError"], true);
}

TEST(ListSupportedConversions, EveryCategoryWithoutThePageTargets) {
    for (const char* arguments : {"{}", R"({"file_extension":5})"}) {
        const auto result = call("list_supported_conversions", arguments);
        EXPECT_FALSE(result.isError);
        EXPECT_TRUE(
            result.text.starts_with("Image: png, jpeg, jpg, tiff, bmp, gif, heic, heif, webp, ico, "
                                    "pdf_image, avif, svg, psd, tga, jp2, jxl, icns, raw\nVideo: "))
            << result.text;
        EXPECT_NE(result.text.find("\nAudio: mp3, aac, m4a, wav, aiff, alac, flac, extractAudio\n"),
                  std::string::npos);
        EXPECT_NE(result.text.find(
                      "\nDocument: pdf, rtf, txt, html, markdown, docx, epub, csv, tsv, json, "
                      "srt, vtt\nArchive: "),
                  std::string::npos)
            << result.text;
        EXPECT_EQ(result.text.find("pdfPage"), std::string::npos);
        EXPECT_EQ(result.text.find("pdfSplit"), std::string::npos);
        EXPECT_EQ(result.text.find("Unknown"), std::string::npos);
        EXPECT_TRUE(result.text.ends_with(
            "\n\nPass file_extension for the exact targets of one input type."));
        EXPECT_FALSE(result.toJson().contains("structuredContent"));
    }
}

TEST(ListSupportedConversions, OneExtensionIsNormalisedAndLookedUp) {
    const auto heic = call("list_supported_conversions", R"({"file_extension":".HEIC "})");
    EXPECT_FALSE(heic.isError);
    EXPECT_TRUE(heic.text.starts_with(".heic (HEIC, Image)\nconvert_file targets: png, jpeg, "))
        << heic.text;
    EXPECT_TRUE(heic.text.ends_with("\ncompress_file: supported")) << heic.text;

    const auto pdf = call("list_supported_conversions", R"({"file_extension":"..pdf"})");
    EXPECT_TRUE(pdf.text.starts_with(".pdf (PDF, Document)\nconvert_file targets: ")) << pdf.text;
    EXPECT_EQ(pdf.text.find("pdfPage"), std::string::npos) << pdf.text;
    EXPECT_TRUE(pdf.text.ends_with("\ncompress_file: not supported"));

    expectFailure(call("list_supported_conversions", R"({"file_extension":" .XYZ."})"),
                  "Kelvane doesn't recognise '.xyz' as a convertible format. Call "
                  "list_supported_conversions with no argument to see everything supported.");
}

TEST(ConvertFile, ArgumentsAreCheckedInOrder) {
    test::TempDir dir;
    test::writeFile(dir / "notes.txt", "hello\n");
    test::writeFile(dir / "blob.xyz", std::string("\x01\x02\x03\x00\xff", 5));
    const auto notes = (dir / "notes.txt").string();

    expectFailure(call("convert_file", R"({"target_format":"png"})"), "source_path is required");
    const std::string unknownTarget =
        "target_format missing or unknown. Use list_supported_conversions to see valid ids.";
    expectFailure(callWith("convert_file", {{"source_path", "/nowhere/x.txt"}}), unknownTarget);
    expectFailure(callWith("convert_file",
                           {{"source_path", "/nowhere/x.txt"}, {"target_format", "pdfPagePng"}}),
                  unknownTarget);
    expectFailure(
        callWith("convert_file", {{"source_path", "/nowhere/x.txt"}, {"target_format", "png"}}),
        "No file at /nowhere/x.txt");
    expectFailure(callWith("convert_file", {{"source_path", (dir / "blob.xyz").string()},
                                            {"target_format", "png"}}),
                  "blob.xyz is not a format Kelvane can read.");
    expectFailure(callWith("convert_file", {{"source_path", notes}, {"target_format", "png"}}),
                  "TXT can't convert to png. Valid targets: html, rtf, pdf, markdown, docx, epub");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

TEST(ConvertFile, WritesBesideTheSourceOrIntoOutputDirWithTildeExpanded) {
    test::TempDir dir;
    test::writeFile(dir / "t.csv", "name,qty\npear,3\n");
    const auto beside = callWith(
        "convert_file", {{"source_path", (dir / "t.csv").string()}, {"target_format", "JSON"}});
    ASSERT_FALSE(beside.isError) << beside.text;
    const auto expected = dir / "t.json";
    const auto size = std::filesystem::file_size(expected);
    EXPECT_EQ(beside.text, "Converted t.csv \u2192 " + expected.string() + " (" +
                               std::to_string(size) + " bytes)");
    EXPECT_EQ(beside.structured->dump(), "{\"output_path\":" + Json(expected.string()).dump() +
                                             ",\"output_bytes\":" + std::to_string(size) + "}");

    // The same again never overwrites: a second name is reserved.
    const auto again = callWith(
        "convert_file", {{"source_path", (dir / "t.csv").string()}, {"target_format", "json"}});
    EXPECT_EQ(again.structured->at("output_path"), (dir / "t (1).json").string());

    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", dir.path().c_str(), 1);
    const auto home =
        callWith("convert_file",
                 {{"source_path", "~/t.csv"}, {"target_format", "tsv"}, {"output_dir", "~/out"}});
    if (oldHome)
        ::setenv("HOME", savedHome.c_str(), 1);
    else
        ::unsetenv("HOME");
    ASSERT_FALSE(home.isError) << home.text;
    EXPECT_EQ(home.structured->at("output_path"), (dir / "out" / "t.tsv").string());
    EXPECT_EQ(test::readFile(dir / "out" / "t.tsv"), "name\tqty\npear\t3\n");
}

TEST(ToolPaths, RelativeAndTildePathsBecomeAbsolute) {
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(expandPath("~"), std::filesystem::path(home));
    EXPECT_EQ(expandPath("~/a b/c.png"), std::filesystem::path(std::string(home) + "/a b/c.png"));
    EXPECT_EQ(expandPath("x/~/y"), std::filesystem::current_path() / "x/~/y");
    EXPECT_EQ(expandPath("~user/y"), std::filesystem::current_path() / "~user/y");
    EXPECT_EQ(expandPath("/abs/~"), std::filesystem::path("/abs/~"));
}

TEST(ToolSources, FifosFoldersAndMissingFilesFailWithoutHanging) {
    test::TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "pipe.csv").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((dir / "pipe.png").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "folder.png");
    test::writeFile(dir / "notes.txt", "hello\n");

    const auto fifo = callWith(
        "convert_file", {{"source_path", (dir / "pipe.csv").string()}, {"target_format", "json"}});
    EXPECT_TRUE(fifo.isError);
    EXPECT_EQ(fifo.text, "Conversion failed: Not a regular file: " + (dir / "pipe.csv").string() +
                             ". Only files can be converted.");
    for (const char* tool : {"estimate_compression", "compress_file"}) {
        expectFailure(callWith(tool, {{"source_path", (dir / "pipe.png").string()}}),
                      "Not a regular file: " + (dir / "pipe.png").string() +
                          ". Only files can be converted.");
        expectFailure(callWith(tool, {{"source_path", (dir / "folder.png").string()}}),
                      "Not a regular file: " + (dir / "folder.png").string() +
                          ". Only files can be converted.");
        // Detection goes by name, so a missing "x.png" would otherwise pass as a PNG.
        expectFailure(callWith(tool, {{"source_path", (dir / "gone.png").string()}}),
                      "No readable file at " + (dir / "gone.png").string());
        expectFailure(callWith(tool, {{"source_path", (dir / "notes.txt").string()}}),
                      "TXT files can't be compressed (only images, video, and audio can).");
        expectFailure(callWith(tool, Json::object()), "source_path is required");
    }
    // Nothing was written next to the sources.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 4);
}

TEST(CompressFile, LevelIsMatchedExactlyBeforeTheFileIsLookedAt) {
    expectFailure(callWith("compress_file", {{"source_path", "/nowhere/a.png"}, {"level", "High"}}),
                  "Unknown level 'High'. Valid: maximum, high, balanced, small, tiny.");
    expectFailure(
        callWith("compress_file", {{"source_path", "/nowhere/a.png"}, {"level", "extreme"}}),
        "Unknown level 'extreme'. Valid: maximum, high, balanced, small, tiny.");
    // A non-string level means the default.
    expectFailure(callWith("compress_file", {{"source_path", "/nowhere/a.png"}, {"level", 3}}),
                  "No readable file at /nowhere/a.png");
}

TEST(Tools, UnknownNameListsTheFour) {
    expectFailure(call("resize_image", "{}"),
                  "Unknown tool 'resize_image'. Available: list_supported_conversions, "
                  "convert_file, estimate_compression, compress_file.");
}

} // namespace
} // namespace kv::ToolServer

namespace kv::ToolServer {
namespace {

CompressionEstimate row(CompressionLevel level, std::int64_t size, std::optional<double> loss,
                        bool estimate, std::int64_t original = 1'000'000) {
    return {.level = level,
            .byteSize = size,
            .qualityLoss = loss,
            .originalSize = original,
            .outputFormat = SupportedFormat::heic,
            .isEstimate = estimate};
}

TEST(EstimateCompression, OneLinePerRowWithSavingAndQuality) {
    using L = CompressionLevel;
    const auto result = estimateResult("IMG 1.png", {row(L::maximum, 900'000, 0.01, false),
                                                     row(L::balanced, 505'000, 2.345, false),
                                                     row(L::small, 300'000, std::nullopt, false),
                                                     row(L::tiny, 3'000, std::nullopt, true)});
    EXPECT_FALSE(result.isError);
    EXPECT_EQ(result.text, "Compression options for IMG 1.png:\n"
                           "  maximum: 900 KB (\u221210%, no visible loss)\n"
                           "  balanced: 505 KB (\u221250%, 2.3% loss)\n"
                           "  small: 300 KB (\u221270%, \u2014)\n"
                           "  tiny: ~3 KB (\u221299%, estimated)");
    EXPECT_EQ(
        result.structured->dump(),
        R"({"levels":[{"level":"maximum","bytes":900000,"saved_percent":10,"estimated":false},)"
        R"({"level":"balanced","bytes":505000,"saved_percent":50,"estimated":false},)"
        R"({"level":"small","bytes":300000,"saved_percent":70,"estimated":false},)"
        R"({"level":"tiny","bytes":3000,"saved_percent":99,"estimated":true}]})");

    const auto none = estimateResult("a.png", {});
    EXPECT_FALSE(none.isError);
    EXPECT_EQ(none.text,
              "Already well compressed \u2014 no level produced a meaningfully smaller file.");
    EXPECT_FALSE(none.toJson().contains("structuredContent"));
}

TEST(CompressFile, SavingIsTruncatedNotRounded) {
    const auto result = compressResult("a.png", 1000, 333, "/out/a (compressed).heic");
    EXPECT_EQ(result.text,
              "Compressed a.png: 1 KB \u2192 333 bytes (\u221266%) at /out/a (compressed).heic");
    EXPECT_EQ(
        result.structured->dump(),
        R"({"output_path":"/out/a (compressed).heic","output_bytes":333,"saved_percent":66})");
    EXPECT_EQ(compressResult("b.wav", 0, 10, "/b.m4a").structured->at("saved_percent"), 0);
}

} // namespace
} // namespace kv::ToolServer
