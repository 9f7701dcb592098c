// Every image source into every image target it lists, read back by an independent decoder.
#include "engine/dispatch/conversion_engine.h"
#include "engine/file_detector.h"
#include "formats/supported_format.h"
#include "image_fixtures.h"

#include <gtest/gtest.h>

namespace kv::test {
namespace {
namespace fs = std::filesystem;
using F = SupportedFormat;

// How an independent program sees an output: its pixel size, and a colour near the middle.
struct Seen {
    std::string size;
    std::array<int, 3> middle{-1, -1, -1};
};

Seen readBack(const fs::path& output, F target, const fs::path& scratch) {
    switch (target) {
    case F::pdf_image: {
        const auto info = runProgram({"pdfinfo", output.string()});
        EXPECT_EQ(info.exitCode, 0) << info.err;
        tool({"pdftoppm", "-r", "72", "-png", "-singlefile", output.string(),
              (scratch / "page").string()});
        return {identifySize(scratch / "page.png"), pixelAt(scratch / "page.png", 48, 32)};
    }
    case F::svg:
        tool({"rsvg-convert", output.string(), "-o", (scratch / "svg.png").string()});
        return {identifySize(scratch / "svg.png"), pixelAt(scratch / "svg.png", 48, 32)};
    case F::icns: {
        const auto list = runProgram({"icns2png", "-l", output.string()});
        for (const char* entry : {"'is32' 16x16", "'il32' 32x32", "'it32' 128x128",
                                  "'ic08' 256x256", "'ic09' 512x512", "'ic10' 1024x1024"})
            EXPECT_NE(list.out.find(entry), std::string::npos) << entry << " missing in\n"
                                                               << list.out;
        tool({"icns2png", "-x", "-o", scratch.string(), output.string()});
        // Our RLE rendition (128) must show what the PNG rendition (1024) shows.
        fs::path rle, png;
        for (const auto& entry : fs::directory_iterator(scratch)) {
            const std::string name = entry.path().filename().string();
            if (name.find("_128x128x32.png") != std::string::npos)
                rle = entry.path();
            if (name.find("_1024x1024x32.png") != std::string::npos)
                png = entry.path();
        }
        EXPECT_LE(colourDistance(pixelAt(rle, 64, 64), pixelAt(png, 512, 512)), 24);
        return {identifySize(rle), {-1, -1, -1}};
    }
    case F::ico: {
        const auto sizes = runProgram({"identify", "-format", "%wx%h ", output.string()});
        EXPECT_EQ(sizes.out, "16x16 32x32 48x48 256x256 ");
        return {"ico", {-1, -1, -1}};
    }
    case F::heic:
    case F::avif:
        // ImageMagick 6 hands out HEIF pixels as YCbCr; libheif's own decoder gives RGB.
        tool({"heif-convert", output.string(), (scratch / "heif.png").string()});
        return {identifySize(scratch / "heif.png"), pixelAt(scratch / "heif.png", 48, 32)};
    default: return {identifySize(output), pixelAt(output, 48, 32)};
    }
}

class EveryImagePair : public ::testing::TestWithParam<F> {};

TEST_P(EveryImagePair, ConvertsAndReadsBack) {
    KV_REQUIRE_IMAGE_TOOLS();
    for (const char* name : {"pdfinfo", "pdftoppm", "rsvg-convert", "icns2png"})
        if (!haveTool(name))
            GTEST_SKIP() << name << " reads the outputs";
    const F source = GetParam();
    const fs::path input = sourceFor(source);
    auto job = FileDetector::createJob(input);
    ASSERT_TRUE(job);
    ASSERT_EQ(job->detectedFormat, source);

    // The middle colour of the source as ImageMagick sees it (RAW, ICO and ICNS sources differ in
    // geometry or are not read by it, so only their sizes are compared).
    const bool colourKnown =
        source != F::raw && source != F::ico && source != F::icns && source != F::jxl;
    const auto reference = colourKnown ? pixelAt(input, 48, 32) : std::array<int, 3>{-1, -1, -1};
    const std::string expectedSize = source == F::ico    ? "256x256"
                                     : source == F::icns ? "128x128"
                                                         : "96x64";

    TempDir out;
    int converted = 0;
    for (const F target : possibleConversions(source)) {
        if (categoryOf(target) != FileCategory::image)
            continue; // GIF also lists video targets
        SCOPED_TRACE(std::string(rawValue(source)) + " -> " + std::string(rawValue(target)));
        job->targetFormat = target;
        const fs::path folder = out / std::string(rawValue(target));
        fs::path output;
        try {
            output = ConversionEngine::convert(*job, folder);
        } catch (const std::exception& failure) {
            ADD_FAILURE() << failure.what();
            continue;
        }
        ++converted;
        fs::create_directories(out / "scratch" / std::string(rawValue(target)));
        const Seen seen = readBack(output, target, out / "scratch" / std::string(rawValue(target)));
        if (target == F::ico)
            continue;
        EXPECT_EQ(seen.size, target == F::icns ? "128x128" : expectedSize);
        if (colourKnown && seen.middle[0] >= 0) {
            EXPECT_LE(colourDistance(seen.middle, reference), 40)
                << seen.middle[0] << "," << seen.middle[1] << "," << seen.middle[2] << " vs "
                << reference[0] << "," << reference[1] << "," << reference[2];
        }
    }
    EXPECT_GE(converted, 13);
}

INSTANTIATE_TEST_SUITE_P(Sources, EveryImagePair,
                         ::testing::Values(F::png, F::jpeg, F::jpg, F::tiff, F::bmp, F::gif,
                                           F::heic, F::heif, F::webp, F::ico, F::avif, F::psd,
                                           F::tga, F::jp2, F::jxl, F::icns, F::raw),
                         [](const auto& param) { return std::string(rawValue(param.param)); });

TEST(PdfPages, EveryPageBecomesAnImageFile) {
    if (!haveTool("convert") || !haveTool("identify"))
        GTEST_SKIP() << "ImageMagick reads the pages";
    TempDir dir;
    // Two pages of 720 × 360 points (10 × 5 inches); the first has a navy box at its top left.
    writePdf(dir / "doc.pdf", {{720, 360, "0 0 0.5 rg 10 250 190 100 re f"}, {720, 360, ""}});
    for (const F target : {F::pdfPagePng, F::pdfPageJpeg}) {
        auto job = FileDetector::createJob(dir / "doc.pdf");
        ASSERT_TRUE(job);
        job->targetFormat = target;
        const fs::path folder = ConversionEngine::convert(*job, dir / "out");
        const std::string ext = target == F::pdfPagePng ? "png" : "jpg";
        EXPECT_EQ(folder.filename().string(),
                  target == F::pdfPagePng ? "doc (PNG (per page))" : "doc (JPEG (per page))");
        EXPECT_EQ(identifySize(folder / ("page_001." + ext)), "1440x720");
        EXPECT_EQ(identifySize(folder / ("page_002." + ext)), "1440x720");
        EXPECT_LE(colourDistance(pixelAt(folder / ("page_001." + ext), 100, 100), {0, 0, 128}), 24);
        EXPECT_LE(colourDistance(pixelAt(folder / ("page_002." + ext), 100, 100), {255, 255, 255}),
                  8);
    }
}

} // namespace
} // namespace kv::test
