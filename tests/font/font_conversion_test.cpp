// Real fonts through the program, checked by independent tools: fontTools (glyph by glyph),
// the reference WOFF2 decoder and encoder, sfnt2woff and OpenType Sanitizer.
#include "engine/conversion_error.h"
#include "font/woff.h"
#include "font/woff2_container.h"
#include "font_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

using namespace test::fonts;
using test::runKelvane;
using test::runProgram;
using test::TempDir;

const std::string kPython = "/usr/bin/python3";
const std::string kCompare = std::string(KV_SOURCE_DIR) + "/tests/font/compare_fonts.py";
const std::string kChecksums = std::string(KV_SOURCE_DIR) + "/tests/font/check_checksums.py";

bool haveFontTools() {
    return std::filesystem::exists(kPython) &&
           runProgram({kPython, "-c", "import fontTools, brotli"}).exitCode == 0;
}

/// Whether fontTools finds the same font in both files; the report goes into the failure text.
::testing::AssertionResult sameFont(const std::filesystem::path& a,
                                    const std::filesystem::path& b) {
    const auto run = runProgram({kPython, kCompare, a.string(), b.string()});
    if (run.exitCode == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << a << " vs " << b << ":\n" << run.out << run.err;
}

std::filesystem::path convert(const std::filesystem::path& source, const std::string& target,
                              const std::filesystem::path& outDir) {
    const auto run = runKelvane({"--convert", source.string(), target, outDir.string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    auto path = run.out;
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r'))
        path.pop_back();
    return path;
}

class FontConversion : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!haveFontTools())
            GTEST_SKIP() << "fontTools with brotli is not installed";
        for (const auto& f : {kDejaVuSans, kCantarell}) {
            if (!std::filesystem::exists(f))
                GTEST_SKIP() << f << " is not installed";
        }
    }
    TempDir dir;
};

TEST_F(FontConversion, AllSixPairsGiveTheSourceFontBack) {
    const auto ttfWoff = convert(kDejaVuSans, "woff", dir / "a");
    const auto ttfWoff2 = convert(kDejaVuSans, "woff2", dir / "a");
    const auto otfWoff = convert(kCantarell, "woff", dir / "b");
    const auto otfWoff2 = convert(kCantarell, "woff2", dir / "b");
    const auto woffWoff2 = convert(ttfWoff, "woff2", dir / "c");
    const auto woff2Woff = convert(ttfWoff2, "woff", dir / "d");
    EXPECT_EQ(ttfWoff.filename(), "DejaVuSans.woff");
    EXPECT_EQ(woffWoff2.filename(), "DejaVuSans.woff2");
    for (const auto& out : {ttfWoff, ttfWoff2, woffWoff2, woff2Woff})
        EXPECT_TRUE(sameFont(kDejaVuSans, out));
    for (const auto& out : {otfWoff, otfWoff2})
        EXPECT_TRUE(sameFont(kCantarell, out));

    if (test::haveTool("ots-sanitize")) {
        for (const auto& out : {ttfWoff, ttfWoff2, otfWoff, otfWoff2, woffWoff2, woff2Woff}) {
            const auto run = runProgram({"ots-sanitize", out.string()});
            EXPECT_EQ(run.exitCode, 0) << out << ": " << run.out << run.err;
        }
    }
    if (test::haveTool("woff2_decompress")) {
        // The reference decoder writes name.ttf beside name.woff2.
        for (const auto& [woff2, source] :
             {std::pair{ttfWoff2, kDejaVuSans}, std::pair{otfWoff2, kCantarell}}) {
            const auto run = runProgram({"woff2_decompress", woff2.string()});
            ASSERT_EQ(run.exitCode, 0) << run.err;
            EXPECT_TRUE(sameFont(source, std::filesystem::path(woff2).replace_extension(".ttf")));
        }
    }
}

// The rebuilt glyf/loca of WOFF2, and a directory that moves between containers, change the
// sums: every SFNT and WOFF written must carry the checksums fontTools computes for it.
TEST_F(FontConversion, ChecksumsAndAdjustmentEqualWhatFontToolsComputes) {
    std::filesystem::create_directories(dir / "in");
    const auto reference = dir / "in" / "DejaVuSans.woff2";
    if (test::haveTool("woff2_compress")) {
        std::filesystem::copy_file(kDejaVuSans, dir / "in" / "DejaVuSans.ttf");
        ASSERT_EQ(runProgram({"woff2_compress", (dir / "in" / "DejaVuSans.ttf").string()}).exitCode,
                  0);
    }
    const auto ourWoff2 = convert(kDejaVuSans, "woff2", dir / "a");
    std::vector<std::filesystem::path> outputs{
        convert(kDejaVuSans, "otf", dir / "b"),
        convert(kCantarell, "ttf", dir / "b"),
        convert(kDejaVuSans, "woff", dir / "c"),
        convert(kCantarell, "woff", dir / "c"),
        convert(ourWoff2, "ttf", dir / "d"),
        convert(convert(kCantarell, "woff2", dir / "e"), "otf", dir / "e"),
    };
    outputs.push_back(convert(outputs[2], "ttf", dir / "f"));
    if (std::filesystem::exists(reference)) {
        outputs.push_back(convert(reference, "ttf", dir / "g"));
        outputs.push_back(convert(reference, "woff", dir / "g"));
    }
    std::vector<std::string> args{kPython, kChecksums};
    for (const auto& out : outputs)
        args.push_back(out.string());
    const auto run = runProgram(args);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
}

// Fonts whose header names the other outline format (OTTO over glyf, 1.0 over CFF) pass browser
// sanitizers but FreeType refuses them; the outputs carry the version their outlines need.
TEST_F(FontConversion, HeaderVersionFollowsTheOutlines) {
    std::filesystem::create_directories(dir / "in");
    const std::pair<std::filesystem::path, std::array<std::uint8_t, 4>> cases[] = {
        {kDejaVuSans, {'O', 'T', 'T', 'O'}}, {kCantarell, {0, 1, 0, 0}}};
    for (const auto& [source, version] : cases) {
        auto bytes = readBytes(source);
        std::copy(version.begin(), version.end(), bytes.begin());
        const auto mislabeled = dir / "in" / source.filename();
        writeBytes(mislabeled, bytes);
        for (const std::string target :
             {"woff", "woff2", source.extension() == ".ttf" ? "otf" : "ttf"}) {
            const auto out = convert(mislabeled, target, dir / target);
            EXPECT_TRUE(sameFont(source, out)) << out;
        }
    }
}

TEST_F(FontConversion, ReadsWhatOtherEncodersWrite) {
    std::filesystem::create_directories(dir / "in");
    const auto ttf = dir / "in" / "DejaVuSans.ttf";
    std::filesystem::copy_file(kDejaVuSans, ttf);
    std::vector<std::pair<std::filesystem::path, bool>> encoded; // file, is WOFF2
    if (test::haveTool("woff2_compress")) {
        ASSERT_EQ(runProgram({"woff2_compress", ttf.string()}).exitCode, 0);
        encoded.emplace_back(dir / "in" / "DejaVuSans.woff2", true);
    }
    if (test::haveTool("sfnt2woff")) {
        ASSERT_EQ(runProgram({"sfnt2woff", ttf.string()}).exitCode, 0);
        encoded.emplace_back(dir / "in" / "DejaVuSans.woff", false);
    }
    // fontTools with the hmtx transform as well, which the reference encoder skips for DejaVu.
    const auto hmtx = dir / "in" / "hmtx.woff2";
    ASSERT_EQ(runProgram({kPython, "-c",
                          "import sys; from fontTools.ttLib import woff2; "
                          "woff2.compress(sys.argv[1], sys.argv[2], "
                          "transform_tables={'glyf', 'loca', 'hmtx'})",
                          ttf.string(), hmtx.string()})
                  .exitCode,
              0);
    encoded.emplace_back(hmtx, true);

    for (const auto& [file, isWOFF2] : encoded) {
        const auto data = readBytes(file);
        const auto font =
            isWOFF2 ? FontConverter::decodeWOFF2(data) : FontConverter::decodeWOFF(data);
        const auto out = dir / (file.stem().string() + (isWOFF2 ? "-2" : "-1") + ".ttf");
        writeBytes(out, font.sfntData());
        EXPECT_TRUE(sameFont(kDejaVuSans, out));
    }
}

TEST(FontConverter, CollectionAndDamagedSourcesFailWithoutOutput) {
    TempDir dir;
    if (std::filesystem::exists(kCollection)) {
        std::filesystem::copy_file(kCollection, dir / "collection.ttf");
        const auto run = runKelvane(
            {"--convert", (dir / "collection.ttf").string(), "woff2", (dir / "out").string()});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.err.find("This is a TrueType Collection (.ttc) containing multiple fonts "
                               "\u2014 extract a single "
                               "font first."),
                  std::string::npos)
            << run.err;
    }
    auto broken = readBytes(kDejaVuSans);
    broken.resize(broken.size() / 2);
    writeBytes(dir / "broken.ttf", broken);
    const auto run =
        runKelvane({"--convert", (dir / "broken.ttf").string(), "woff", (dir / "out").string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("File appears corrupt: Font table extends past end of file"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "out" / "broken.woff"));
}

} // namespace
} // namespace kv
