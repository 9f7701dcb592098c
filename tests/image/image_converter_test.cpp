// ImageConverter behaviour: refusals, geometry, orientation, metadata, colour, our own writers.
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "image/image_converter.h"
#include "image/image_truncation.h"
#include "image_fixtures.h"
#include "validate/validator.h"

#include <gtest/gtest.h>

namespace kv::test {
namespace {
namespace fs = std::filesystem;
using F = SupportedFormat;

bool logged(const std::string& message) {
    for (const auto& entry : ConversionLogger::shared().entries())
        if (entry.message == message)
            return true;
    return false;
}

class ImageConverterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"convert", "identify", "exiftool", "vips"})
            if (!haveTool(name))
                GTEST_SKIP() << name << " makes or reads the fixtures";
    }
    TempDir dir;
};

TEST_F(ImageConverterTest, RefusesTruncatedFilesWithTheirName) {
    tool({"convert", "-size", "64x48", "plasma:", (dir / "whole.png").string()});
    for (const char* ext : {"jpg", "gif", "png"}) {
        const fs::path complete = dir / (std::string("full.") + ext);
        tool({"convert", (dir / "whole.png").string(), complete.string()});
        const std::string bytes = readFile(complete);
        const fs::path cut = dir / (std::string("photo.") + ext);
        writeFile(cut, bytes.substr(0, bytes.size() * 2 / 3));
        const F format = *formatFromExtension(ext);
        try {
            ImageConverter::convert(imageRequest(cut, format, F::bmp, dir / "out"));
            ADD_FAILURE() << ext << " accepted";
        } catch (const ConversionError& error) {
            EXPECT_EQ(error.kind(), ConversionError::Kind::corruptFile);
            EXPECT_EQ(std::string(error.what()),
                      std::string("File appears corrupt: photo.") + ext +
                          " is truncated \u2014 the file is missing its ending, so only part of "
                          "the image is present.");
        }
        EXPECT_FALSE(ImageConverter::truncationIssue(complete)) << ext;
    }
    EXPECT_FALSE(fs::exists(dir / "out" / "photo.bmp"));
    // A 16-byte file is too short to judge, whatever it starts with.
    writeFile(dir / "tiny.jpg", std::string("\xFF\xD8\xFF\xE0", 4) + std::string(12, 'x'));
    EXPECT_FALSE(ImageConverter::truncationIssue(dir / "tiny.jpg"));
    writeFile(dir / "tiny17.jpg", std::string("\xFF\xD8\xFF\xE0", 4) + std::string(13, 'x'));
    EXPECT_TRUE(ImageConverter::truncationIssue(dir / "tiny17.jpg"));
}

TEST_F(ImageConverterTest, OrientationIsAppliedWheneverPixelsAreRedrawn) {
    // 300 × 200 blue with a red top-left square, tagged "rotate 90° clockwise" (6).
    const fs::path photo = dir / "turned.jpg";
    tool({"convert", "-size", "300x200", "xc:blue", "-fill", "red", "-draw", "rectangle 0,0 59,59",
          photo.string()});
    tool({"exiftool", "-q", "-overwrite_original", "-Orientation#=6", photo.string()});

    // JPEG to JPEG without a resize keeps pixels and tag.
    const auto same = ImageConverter::convert(imageRequest(photo, F::jpg, F::jpeg, dir / "same"));
    EXPECT_EQ(identifySize(same), "300x200");
    EXPECT_EQ(exifTag(same, "Orientation"), "6");

    // Any redraw turns the pixels: the red corner ends up at the top right, the tag says 1.
    for (const F target : {F::png, F::bmp, F::heic, F::psd}) {
        const auto out = ImageConverter::convert(
            imageRequest(photo, F::jpg, target, dir / std::string(rawValue(target))));
        const fs::path readable = target == F::heic ? dir / "heic.png" : out;
        if (target == F::heic)
            tool({"heif-convert", out.string(), readable.string()});
        EXPECT_EQ(identifySize(readable), "200x300") << rawValue(target);
        EXPECT_LE(colourDistance(pixelAt(readable, 190, 10), {255, 0, 0}), 60) << rawValue(target);
        EXPECT_LE(colourDistance(pixelAt(readable, 10, 10), {0, 0, 255}), 60) << rawValue(target);
    }
    auto resized = imageRequest(photo, F::jpg, F::jpeg, dir / "small");
    resized.maxEdge = 150;
    const auto small = ImageConverter::convert(resized);
    EXPECT_EQ(identifySize(small), "100x150");
    EXPECT_EQ(exifTag(small, "Orientation"), "1");
    EXPECT_LE(colourDistance(pixelAt(small, 95, 5), {255, 0, 0}), 60);
}

TEST_F(ImageConverterTest, KeepsMetadataOrStripsLocationAndXmp) {
    const fs::path photo = dir / "tagged.jpg";
    tool({"convert", "-size", "120x80", "plasma:", photo.string()});
    tool({"exiftool", "-q", "-overwrite_original", "-Make=Kelvane", "-GPSLatitude=48.85",
          "-GPSLatitudeRef=N", "-GPSLongitude=2.35", "-GPSLongitudeRef=E",
          "-XMP-dc:Title=secret place", photo.string()});
    for (const F target : {F::jpeg, F::png, F::heic}) {
        const std::string name(rawValue(target));
        const auto kept =
            ImageConverter::convert(imageRequest(photo, F::jpg, target, dir / ("keep-" + name)));
        EXPECT_EQ(exifTag(kept, "Make"), "Kelvane") << name;
        EXPECT_EQ(exifTag(kept, "GPSLatitude"), "48.85") << name;
        EXPECT_EQ(exifTag(kept, "Title"), "secret place") << name;

        auto strip = imageRequest(photo, F::jpg, target, dir / ("strip-" + name));
        strip.stripMetadata = true;
        const auto stripped = ImageConverter::convert(strip);
        EXPECT_EQ(exifTag(stripped, "Make"), "Kelvane") << name;
        EXPECT_EQ(exifTag(stripped, "GPSLatitude"), "") << name;
        EXPECT_EQ(exifTag(stripped, "Title"), "") << name;
        // Not even the coordinates' bytes may remain in the file.
        const std::string bytes = readFile(stripped);
        EXPECT_EQ(bytes.find("secret place"), std::string::npos) << name;
    }
}

TEST_F(ImageConverterTest, WideGamutPixelsBecomeSrgbWhereTheProfileCannotGo) {
    // A saturated green in sRGB, re-encoded into Display P3 with its profile embedded.
    tool({"convert", "-size", "64x64", "xc:rgb(20,200,40)", "-depth", "8",
          (dir / "green.png").string()});
    tool({"vips", "icc_transform", (dir / "green.png").string(),
          (dir / "p3.jpg").string() + "[Q=98]", "p3"});
    const auto p3 = pixelAt(dir / "p3.jpg", 32, 32);
    ASSERT_GT(colourDistance(p3, {20, 200, 40}), 15) << "fixture is not wide-gamut";
    for (const F target : {F::bmp, F::tga, F::gif}) {
        const auto out = ImageConverter::convert(
            imageRequest(dir / "p3.jpg", F::jpg, target, dir / std::string(rawValue(target))));
        EXPECT_LE(colourDistance(pixelAt(out, 32, 32), {20, 200, 40}), 8) << rawValue(target);
    }
    // PNG carries the profile itself.
    const auto png =
        ImageConverter::convert(imageRequest(dir / "p3.jpg", F::jpg, F::png, dir / "png"));
    EXPECT_NE(exifTag(png, "ProfileDescription"), "");
}

TEST_F(ImageConverterTest, TransparencyTurnsWhiteWhereTheTargetHasNoAlpha) {
    tool({"convert", "-size", "40x40", "xc:none", "-fill", "red", "-draw", "rectangle 0,0 19,39",
          "-depth", "8", (dir / "half.png").string()});
    for (const F target : {F::jpeg, F::tga, F::pdf_image}) {
        const auto out = ImageConverter::convert(
            imageRequest(dir / "half.png", F::png, target, dir / std::string(rawValue(target))));
        fs::path readable = out;
        if (target == F::pdf_image) {
            tool({"pdftoppm", "-r", "72", "-png", "-singlefile", out.string(),
                  (dir / "page").string()});
            readable = dir / "page.png";
            EXPECT_EQ(Validator::validate(out, target), ValidationStatus::passed());
        }
        EXPECT_LE(colourDistance(pixelAt(readable, 30, 20), {255, 255, 255}), 6)
            << rawValue(target);
        EXPECT_LE(colourDistance(pixelAt(readable, 5, 20), {255, 0, 0}), 40) << rawValue(target);
    }
}

TEST_F(ImageConverterTest, LongestEdgeAndHeicQualityCap) {
    tool({"convert", "-size", "4000x3000", "gradient:navy-orange", (dir / "big.png").string()});
    tool({"convert", "-size", "800x600", "gradient:navy-orange", (dir / "mid.png").string()});
    auto big = imageRequest(dir / "big.png", F::png, F::jpeg, dir / "a");
    big.maxEdge = 1024;
    EXPECT_EQ(identifySize(ImageConverter::convert(big)), "1024x768");
    auto mid = imageRequest(dir / "mid.png", F::png, F::jpeg, dir / "a");
    mid.maxEdge = 1024;
    EXPECT_EQ(identifySize(ImageConverter::convert(mid)), "800x600");

    // HEIC quality stops at 0.85: asking for more writes the same file.
    auto high = imageRequest(dir / "mid.png", F::png, F::heic, dir / "q95");
    high.quality = 0.95;
    auto capped = imageRequest(dir / "mid.png", F::png, F::heic, dir / "q85");
    capped.quality = 0.85;
    auto lower = imageRequest(dir / "mid.png", F::png, F::heic, dir / "q50");
    lower.quality = 0.5;
    const auto a = readFile(ImageConverter::convert(high));
    const auto b = readFile(ImageConverter::convert(capped));
    const auto c = readFile(ImageConverter::convert(lower));
    EXPECT_EQ(a.size(), b.size());
    EXPECT_NE(b.size(), c.size());
}

TEST_F(ImageConverterTest, IconsSvgPsdAndPdfHaveTheirFixedGeometry) {
    tool({"convert", "-size", "40x40", "xc:teal", (dir / "small.png").string()});
    const auto ico =
        ImageConverter::convert(imageRequest(dir / "small.png", F::png, F::ico, dir / "ico"));
    EXPECT_EQ(runProgram({"identify", "-format", "%wx%h ", ico.string()}).out,
              "16x16 32x32 48x48 256x256 ");
    tool({"convert", ico.string() + "[3]", (dir / "ico256.png").string()});
    EXPECT_LE(colourDistance(pixelAt(dir / "ico256.png", 128, 128), {0, 128, 128}), 4);

    tool({"convert", "-size", "3x2", "xc:red", (dir / "tiny.png").string()});
    const auto svg = readFile(
        ImageConverter::convert(imageRequest(dir / "tiny.png", F::png, F::svg, dir / "svg")));
    EXPECT_EQ(
        svg.rfind(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
            "viewBox=\"0 0 3 2\" width=\"3\" height=\"2\">\n<image "
            "href=\"data:image/png;base64,iVBORw0KGgo",
            0),
        0u)
        << svg;
    EXPECT_NE(
        svg.find(
            "\" x=\"0\" y=\"0\" width=\"3\" height=\"2\" preserveAspectRatio=\"none\"/>\n</svg>"),
        std::string::npos);
    // A 3 × 2 point image page is still a valid image PDF.
    const auto tinyPdf = ImageConverter::convert(
        imageRequest(dir / "tiny.png", F::png, F::pdf_image, dir / "tinypdf"));
    EXPECT_EQ(Validator::validate(tinyPdf, F::pdf_image), ValidationStatus::passed());

    // PSD: lossless; transparent parts on white, read back pixel for pixel by ImageMagick.
    tool({"convert", "-size", "50x30", "plasma:", "-depth", "8", "(", "-size", "50x30",
          "gradient:white-black", ")", "-alpha", "off", "-compose", "CopyOpacity", "-composite",
          (dir / "alpha.png").string()});
    tool({"convert", (dir / "alpha.png").string(), "-background", "white", "-alpha", "remove",
          (dir / "flat.png").string()});
    const auto psd =
        ImageConverter::convert(imageRequest(dir / "alpha.png", F::png, F::psd, dir / "psd"));
    EXPECT_EQ(identifySize(psd), "50x30");
    const auto diff = runProgram({"compare", "-metric", "AE", "-fuzz", "1%",
                                  (dir / "flat.png").string(), psd.string() + "[0]", "null:"});
    EXPECT_EQ(diff.err, "0") << diff.err;

    // One-page PDF: a large image fits into 2000 points; a JPEG goes in without re-encoding.
    tool({"convert", "-size", "4000x3000", "plasma:", (dir / "large.jpg").string()});
    const auto pdf =
        ImageConverter::convert(imageRequest(dir / "large.jpg", F::jpg, F::pdf_image, dir / "pdf"));
    EXPECT_NE(runProgram({"pdfinfo", pdf.string()}).out.find("Page size:       2000 x 1500 pts"),
              std::string::npos);
    const auto images = runProgram({"pdfimages", "-list", pdf.string()}).out;
    EXPECT_NE(images.find("4000  3000  rgb     3   8  jpeg"), std::string::npos) << images;
    EXPECT_LE(fs::file_size(pdf), fs::file_size(dir / "large.jpg") + 4096);
}

TEST_F(ImageConverterTest, AnimatedGifGivesItsFirstFrame) {
    tool({"convert", "-delay", "20", "-size", "60x40", "xc:red", "xc:lime", "xc:blue", "-loop", "0",
          (dir / "anim.gif").string()});
    const auto png =
        ImageConverter::convert(imageRequest(dir / "anim.gif", F::gif, F::png, dir / "png"));
    EXPECT_EQ(identifySize(png), "60x40");
    EXPECT_EQ(runProgram({"identify", "-format", "%n", png.string()}).out, "1");
    EXPECT_LE(colourDistance(pixelAt(png, 30, 20), {255, 0, 0}), 4);
}

TEST_F(ImageConverterTest, CameraRawIsDevelopedByLibRaw) {
    writeDng(dir / "shot.dng", 120, 80);
    const auto out =
        ImageConverter::convert(imageRequest(dir / "shot.dng", F::raw, F::png, dir / "raw"));
    EXPECT_EQ(identifySize(out), "120x80");
    // The pattern runs from no red at the left to full red at the right, and so must the picture.
    const auto left = pixelAt(out, 4, 40);
    const auto right = pixelAt(out, 115, 40);
    EXPECT_LT(left[0] + 80, right[0]);
    EXPECT_LE(colourDistance(pixelAt(out, 60, 40), {118, 118, 118}), 30); // mid-grey in the middle
    writeFile(dir / "broken.dng", "II*\0garbage that is no camera file");
    EXPECT_THROW(
        ImageConverter::convert(imageRequest(dir / "broken.dng", F::raw, F::png, dir / "raw")),
        ConversionError);
}

TEST_F(ImageConverterTest, PdfPagesAreCappedAt8192Pixels) {
    writePdf(dir / "poster.pdf", {{7200, 3600, ""}});
    auto pages = imageRequest(dir / "poster.pdf", F::pdf, F::pdfPagePng, dir / "out");
    const auto folder = ImageConverter::convertPDFPages(pages);
    EXPECT_EQ(identifySize(folder / "page_001.png"), "8192x4096");
    EXPECT_TRUE(
        logged("Page 1 is very large \u2014 rendering at 1.14\u00d7 to stay within memory limits"));
    EXPECT_TRUE(logged("Wrote 1 page(s)"));

    writeFile(dir / "not.pdf", "%PDF-1.4 nothing else");
    try {
        ImageConverter::convertPDFPages(
            imageRequest(dir / "not.pdf", F::pdf, F::pdfPageJpeg, dir / "out"));
        ADD_FAILURE() << "broken PDF accepted";
    } catch (const ConversionError& error) {
        EXPECT_EQ(error.kind(), ConversionError::Kind::failedToLoadFile);
    }
}

} // namespace
} // namespace kv::test
