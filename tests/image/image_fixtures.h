// Image fixtures made with Debian tools (ImageMagick, heif-enc, cjxl, png2icns, exiftool, vips),
// and independent readers for the outputs.
#pragma once

#include "engine/convert_request.h"
#include "formats/supported_format.h"
#include "support/test_support.h"

#include <array>
#include <filesystem>
#include <string>
#include <vector>

namespace kv::test {

/// Runs a fixture tool; fails the calling test (fatally) when it fails.
void tool(const std::vector<std::string>& argv);

/// A folder of photo-like sources, one per image source format, made once per process:
/// "photo.<ext>" at 96 × 64 (the ICO holds 16…256 squares, the ICNS a 128 square, the RAW a DNG).
const std::filesystem::path& sourceFolder();
/// The fixture for a source format.
std::filesystem::path sourceFor(SupportedFormat format);

/// A minimal uncompressed RGGB camera DNG (16-bit, linear, sRGB primaries) of a smooth pattern.
void writeDng(const std::filesystem::path& file, int width, int height);

/// "W×H" of the first image as ImageMagick reads it ("96x64"), empty when it cannot read it.
std::string identifySize(const std::filesystem::path& file);
/// One pixel's 8-bit RGB as ImageMagick reads it (after alpha removal over white).
std::array<int, 3> pixelAt(const std::filesystem::path& file, int x, int y);
/// Largest absolute per-channel difference of two colours.
int colourDistance(const std::array<int, 3>& a, const std::array<int, 3>& b);
/// A tag's value as exiftool prints it (-s -s -s), empty when absent.
std::string exifTag(const std::filesystem::path& file, const std::string& tag);

/// A PDF page: its media box size in points and its content stream ("" draws nothing).
struct PdfPage {
    int width = 612;
    int height = 792;
    std::string content;
};
/// A minimal PDF with the pages, written by hand (ImageMagick's policy forbids writing PDF).
void writePdf(const std::filesystem::path& file, const std::vector<PdfPage>& pages);

/// A conversion request into `outputDir`, which is created (as the engine does before calling a
/// converter).
ConvertRequest imageRequest(const std::filesystem::path& source, SupportedFormat sourceFormat,
                            SupportedFormat target, const std::filesystem::path& outputDir);

/// The one file a conversion wrote into `folder` (fails when there is not exactly one).
std::filesystem::path onlyFileIn(const std::filesystem::path& folder);

#define KV_REQUIRE_IMAGE_TOOLS()                                                                   \
    do {                                                                                           \
        for (const char* name :                                                                    \
             {"convert", "identify", "exiftool", "heif-enc", "heif-convert", "cjxl", "png2icns"})  \
            if (!::kv::test::haveTool(name))                                                       \
                GTEST_SKIP() << name << " makes or reads the fixtures";                            \
    } while (false)

} // namespace kv::test
