// Our ICNS reader against our writer, the EXIF editor, and the image and PDF output checks.
#include "image/exif_patch.h"
#include "image/icns_reader.h"
#include "image/icns_writer.h"
#include "image/tiff_check.h"
#include "image_fixtures.h"
#include "platform/platform_error.h"
#include "validate/validator.h"

#include <gtest/gtest.h>

namespace kv::test {
namespace {
namespace fs = std::filesystem;
using image::IcnsRendition;

// A square of distinct colours with a soft alpha ramp, so RLE sees both runs and literals.
image::IconRendition pattern(int size) {
    image::IconRendition icon;
    icon.size = size;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            icon.rgba.insert(icon.rgba.end(),
                             {static_cast<std::uint8_t>(x < size / 2 ? 200 : x * 7),
                              static_cast<std::uint8_t>(y * 3), 90,
                              static_cast<std::uint8_t>(x * 255 / size)});
    return icon;
}

TEST(IcnsReader, ReadsBackOurClassicEntriesExactly) {
    const std::vector<image::IconRendition> icons{pattern(16), pattern(32), pattern(128)};
    const auto file = image::encodeIcns(icons);
    const auto read = image::readLargestIcnsRendition(file);
    EXPECT_EQ(read.encoding, IcnsRendition::Encoding::rgba);
    EXPECT_EQ(read.width, 128);
    EXPECT_EQ(read.data, icons[2].rgba); // colour from it32's RLE, alpha from t8mk
}

TEST(IcnsReader, PrefersTheLargestEmbeddedPng) {
    auto big = pattern(1024);
    big.png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 1, 2, 3};
    const auto file = image::encodeIcns(std::vector<image::IconRendition>{pattern(32), big});
    const auto read = image::readLargestIcnsRendition(file);
    EXPECT_EQ(read.encoding, IcnsRendition::Encoding::png);
    EXPECT_EQ(read.width, 1024);
    EXPECT_EQ(read.data, big.png);
}

TEST(IcnsReader, DamagedFilesFailCleanly) {
    const auto file =
        image::encodeIcns(std::vector<image::IconRendition>{pattern(16), pattern(32)});
    // Every cut and a byte flip in every position: an IcnsError or a rendition, nothing else.
    for (std::size_t n = 0; n < file.size(); ++n) {
        try {
            (void)image::readLargestIcnsRendition(std::span(file).first(n));
        } catch (const image::IcnsError&) {
        }
        auto flipped = file;
        flipped[n] ^= 0xA5;
        try {
            (void)image::readLargestIcnsRendition(flipped);
        } catch (const image::IcnsError&) {
        }
    }
    EXPECT_THROW(
        image::readLargestIcnsRendition(std::vector<std::uint8_t>{'i', 'c', 'n', 's', 0, 0, 0, 8}),
        image::IcnsError); // valid header, no icon
}

TEST(ExifPatch, EmptiesGpsAndSetsOrientationInPlace) {
    if (!haveTool("exiftool") || !haveTool("convert"))
        GTEST_SKIP() << "exiftool makes the EXIF block";
    TempDir dir;
    tool({"convert", "-size", "8x8", "xc:gray", (dir / "a.jpg").string()});
    tool({"exiftool", "-q", "-overwrite_original", "-Orientation#=6", "-Make=Kelvane",
          "-GPSLatitude=12.5", "-GPSLatitudeRef=S", (dir / "a.jpg").string()});
    const auto exif = runProgram({"exiftool", "-b", "-EXIF", (dir / "a.jpg").string()}).out;
    ASSERT_FALSE(exif.empty());
    const std::vector<std::uint8_t> block(exif.begin(), exif.end());
    const auto patched = image::patchExif(block, {.orientation = 1, .removeGps = true});
    ASSERT_TRUE(patched);
    EXPECT_EQ(patched->size(), block.size());
    writeFile(dir / "exif.bin", std::string(patched->begin(), patched->end()));
    tool({"exiftool", "-q", "-overwrite_original", "-EXIF<=" + (dir / "exif.bin").string(),
          (dir / "a.jpg").string()});
    EXPECT_EQ(exifTag(dir / "a.jpg", "Orientation"), "1");
    EXPECT_EQ(exifTag(dir / "a.jpg", "Make"), "Kelvane");
    EXPECT_EQ(exifTag(dir / "a.jpg", "GPSLatitude"), "");
    EXPECT_FALSE(
        image::patchExif(std::vector<std::uint8_t>{'M', 'M', 0, 42, 0xFF, 0xFF, 0xFF, 0xFF}, {}));
}

TEST(ImageChecks, PdfCornersAndPageCounts) {
    using V = ValidationStatus;
    TempDir dir;
    const auto check = [&](const std::string& name, const std::vector<PdfPage>& pages,
                           PDFBackgroundRequirement need) {
        writePdf(dir / name, pages);
        return Validator::validatePDF(dir / name, 1, need);
    };
    const std::string fillWhite = "1 1 1 rg 0 0 400 400 re f",
                      fillBlack = "0 0 0 rg 0 0 400 400 re f";
    EXPECT_EQ(check("white.pdf", {{200, 100, fillWhite}}, PDFBackgroundRequirement::light),
              V::passed());
    EXPECT_EQ(check("black.pdf", {{200, 100, fillBlack}}, PDFBackgroundRequirement::light),
              V::failed("PDF corner is dark RGB(0,0,0) \u2014 page has dark background"));
    EXPECT_EQ(
        check("bare.pdf", {{200, 100, ""}}, PDFBackgroundRequirement::light),
        V::failed("PDF corner is transparent \u2014 page lacks background fill (inversion bug)"));
    EXPECT_EQ(check("bare2.pdf", {{200, 100, ""}}, PDFBackgroundRequirement::opaque),
              V::failed("Image-PDF corner is transparent \u2014 broken file"));
    EXPECT_EQ(check("black2.pdf", {{200, 100, fillBlack}}, PDFBackgroundRequirement::opaque),
              V::passed());
    EXPECT_EQ(check("tiny.pdf", {{5, 5, fillWhite}}, PDFBackgroundRequirement::light),
              V::passed()); // 2 × 2 raster
    EXPECT_EQ(check("none.pdf", {}, PDFBackgroundRequirement::light),
              V::failed("PDF has 0 pages, expected \u2265 1"));
    writeFile(dir / "junk.pdf", "not a pdf at all");
    EXPECT_EQ(Validator::validatePDF(dir / "junk.pdf", 1, PDFBackgroundRequirement::light),
              V::failed("PDFDocument cannot open file"));
}

TEST(ImageChecks, ImagesMustDecodeCompletely) {
    if (!haveTool("convert"))
        GTEST_SKIP() << "ImageMagick makes the fixtures";
    using V = ValidationStatus;
    TempDir dir;
    tool({"convert", "-size", "200x200", "plasma:", (dir / "good.png").string()});
    EXPECT_EQ(Validator::validate(dir / "good.png", SupportedFormat::png), V::passed());
    // Same header and ending, scrambled compressed data in between.
    std::string bytes = readFile(dir / "good.png");
    for (std::size_t i = 200; i < bytes.size() - 200; i += 7)
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    writeFile(dir / "bad.png", bytes);
    EXPECT_EQ(Validator::validate(dir / "bad.png", SupportedFormat::png),
              V::failed("First image failed to decode"));
    // JPEG scans are checked at 1/8 scale: a cut-off or scrambled scan must still fail.
    tool({"convert", "-size", "400x300", "plasma:", "-quality", "90", (dir / "good.jpg").string()});
    EXPECT_EQ(Validator::validate(dir / "good.jpg", SupportedFormat::jpeg), V::passed());
    const std::string jpeg = readFile(dir / "good.jpg");
    writeFile(dir / "cut.jpg", jpeg.substr(0, jpeg.size() * 2 / 3));
    EXPECT_EQ(Validator::validate(dir / "cut.jpg", SupportedFormat::jpeg),
              V::failed("First image failed to decode"));
    std::string scrambled = jpeg;
    for (std::size_t i = jpeg.size() / 2; i < jpeg.size() - 200; i += 5)
        scrambled[i] = static_cast<char>(scrambled[i] ^ 0x5A);
    writeFile(dir / "scrambled.jpg", scrambled);
    EXPECT_EQ(Validator::validate(dir / "scrambled.jpg", SupportedFormat::jpeg),
              V::failed("First image failed to decode"));
    // HEIC and AVIF decode through libheif alone: a cut-off bitstream must fail as well.
    if (haveTool("heif-enc")) {
        for (const char* ext : {"heic", "avif"}) {
            const fs::path whole = dir / (std::string("good.") + ext);
            tool({"heif-enc", "-q", "60", (dir / "good.jpg").string(), "-o", whole.string()});
            EXPECT_EQ(Validator::validate(whole, *formatFromExtension(ext)), V::passed()) << ext;
            const std::string heif = readFile(whole);
            const fs::path cut = dir / (std::string("cut.") + ext);
            writeFile(cut, heif.substr(0, heif.size() - heif.size() / 4));
            EXPECT_NE(Validator::validate(cut, *formatFromExtension(ext)), V::passed()) << ext;
        }
    }
    writeFile(dir / "junk.png", "definitely not an image");
    EXPECT_EQ(Validator::validate(dir / "junk.png", SupportedFormat::png),
              V::failed("CGImageSource cannot open file"));
}

TEST(ImageChecks, TiffStripsInflateOnAllCores) {
    if (!haveTool("convert") || !haveTool("vips"))
        GTEST_SKIP() << "ImageMagick and vips make the fixtures";
    using V = ValidationStatus;
    TempDir dir;
    tool({"convert", "-size", "301x203", "plasma:", "-depth", "8", (dir / "base.png").string()});
    const auto make = [&](const std::string& name, std::vector<std::string> argv,
                          const std::string& options = "") {
        argv.push_back((dir / name).string() + options);
        tool(argv);
        return dir / name;
    };
    const std::string base = (dir / "base.png").string();
    // The layouts the check reads itself, and those it leaves to the full decode.
    for (const auto& file :
         {make("vips.tif", {"vips", "copy", base}, "[compression=deflate,predictor=horizontal]"),
          make("im.tif", {"convert", base, "-compress", "zip"}),
          make("motorola.tif", {"convert", base, "-compress", "zip", "-endian", "MSB"}),
          make("plain.tif", {"convert", base, "-compress", "none"})}) {
        EXPECT_TRUE(image::verifyTiffStrips(file)) << file.filename();
        EXPECT_EQ(Validator::validate(file, SupportedFormat::tiff), V::passed()) << file.filename();
    }
    for (const auto& file :
         {make("lzw.tif", {"convert", base, "-compress", "lzw"}),
          make("tiled.tif", {"vips", "copy", base}, "[tile,compression=deflate]")}) {
        EXPECT_FALSE(image::verifyTiffStrips(file)) << file.filename();
        EXPECT_EQ(Validator::validate(file, SupportedFormat::tiff), V::passed()) << file.filename();
    }

    const std::string good = readFile(dir / "vips.tif");
    writeFile(dir / "cut.tif",
              good.substr(0, good.size() * 2 / 3)); // vips writes the directory last
    EXPECT_THROW(image::verifyTiffStrips(dir / "cut.tif"), PlatformError);
    EXPECT_NE(Validator::validate(dir / "cut.tif", SupportedFormat::tiff), V::passed());
    std::string flipped = good;
    flipped[good.size() / 2] = static_cast<char>(flipped[good.size() / 2] ^ 0x21);
    writeFile(dir / "flipped.tif", flipped);
    EXPECT_THROW(image::verifyTiffStrips(dir / "flipped.tif"), PlatformError);
    EXPECT_EQ(Validator::validate(dir / "flipped.tif", SupportedFormat::tiff),
              V::failed("First image failed to decode"));
}

} // namespace
} // namespace kv::test
