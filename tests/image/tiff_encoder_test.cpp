// Our parallel deflate TIFF encoder, read back by libtiff (through vips and ImageMagick) and
// exiftool.
#include "engine/convert_request.h"
#include "image/image_converter.h"
#include "image/tiff_check.h"
#include "image/tiff_encoder.h"
#include "image_fixtures.h"
#include "platform/platform_error.h"
#include "validate/validator.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>

namespace kv::test {
namespace {
namespace fs = std::filesystem;
using image::TiffEncoder;
using image::TiffSettings;

// Noise with runs and repeats, so the predictor and deflate see both.
std::string samplesFor(int width, int height, int channels, unsigned seed) {
    std::string samples(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                            static_cast<std::size_t>(channels),
                        '\0');
    std::uint32_t state = seed;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        samples[i] = static_cast<char>((i / 89) % 3 == 0 ? state >> 13 : i / 7 * 5);
    }
    return samples;
}

fs::path encode(const fs::path& file, const std::string& samples, int width, int height,
                int channels, TiffSettings settings, image::TiffMetadata metadata = {}) {
    TiffEncoder encoder(file, width, height, channels, std::move(metadata), settings);
    const std::size_t rowBytes =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(channels);
    // Rows in uneven groups, with padding between rows, as vips' regions hand them over.
    const std::size_t stride = rowBytes + 3;
    std::string rows;
    for (int top = 0; top < height;) {
        const int count = std::min(height - top, 1 + top % 4);
        rows.assign(stride * static_cast<std::size_t>(count), '\x55');
        for (int r = 0; r < count; ++r)
            rows.replace(static_cast<std::size_t>(r) * stride, rowBytes, samples,
                         static_cast<std::size_t>(top + r) * rowBytes, rowBytes);
        encoder.addRows(reinterpret_cast<const std::uint8_t*>(rows.data()), stride, count);
        top += count;
    }
    encoder.finish();
    return file;
}

// The samples as libtiff decodes them (through vips: bands as stored, no colour management).
std::string rawSamples(const fs::path& tiff, const fs::path& scratch) {
    tool({"vips", "rawsave", tiff.string(), scratch.string()});
    return readFile(scratch);
}

class TiffEncoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"convert", "identify", "vips", "exiftool"})
            if (!haveTool(name))
                GTEST_SKIP() << name << " reads the outputs";
    }
    TempDir dir;
};

TEST_F(TiffEncoderTest, EveryLayoutRoundTripsExactlyAcrossStrips) {
    struct Case {
        int width, height;
        std::size_t stripBytes;
        unsigned threads;
    };
    // One pixel; odd sizes; one row per strip (many strips, more threads than needed); a strip
    // bigger than the image; a strip smaller than one row.
    for (const Case c : {Case{1, 1, 1 << 20, 0}, Case{37, 61, 1, 3}, Case{301, 29, 2000, 2},
                         Case{5, 203, 64, 1}, Case{1001, 3, 1 << 20, 4}}) {
        for (int channels = 1; channels <= 4; ++channels) {
            const std::string name = std::to_string(c.width) + "x" + std::to_string(c.height) +
                                     "-" + std::to_string(channels) + "-" +
                                     std::to_string(c.stripBytes);
            const auto samples =
                samplesFor(c.width, c.height, channels, 5u + static_cast<unsigned>(channels));
            const fs::path tiff =
                encode(dir / (name + ".tif"), samples, c.width, c.height, channels,
                       {.stripBytes = c.stripBytes, .threads = c.threads});
            EXPECT_EQ(identifySize(tiff), std::to_string(c.width) + "x" + std::to_string(c.height))
                << name;
            EXPECT_TRUE(rawSamples(tiff, dir / "decoded.raw") == samples) << name;
            EXPECT_TRUE(image::verifyTiffStrips(tiff)) << name;
            EXPECT_EQ(Validator::validate(tiff, SupportedFormat::tiff), ValidationStatus::passed())
                << name;
        }
    }
    // Alpha is stored straight (unassociated), as vips writes it.
    const fs::path rgba = encode(dir / "alpha.tif", samplesFor(8, 8, 4, 1), 8, 8, 4, {});
    EXPECT_EQ(exifTag(rgba, "ExtraSamples"), "2"); // unassociated alpha
    EXPECT_EQ(exifTag(rgba, "Predictor"), "2");    // horizontal differencing
    EXPECT_EQ(exifTag(rgba, "Compression"), "8");  // Adobe deflate
}

TEST_F(TiffEncoderTest, DamageIsFoundByTheCheck) {
    const auto samples = samplesFor(200, 150, 3, 9);
    const fs::path good = encode(dir / "good.tif", samples, 200, 150, 3, {.stripBytes = 6000});
    const std::string bytes = readFile(good);
    std::string flipped = bytes;
    flipped[bytes.size() / 3] = static_cast<char>(flipped[bytes.size() / 3] ^ 0x40);
    writeFile(dir / "flipped.tif", flipped);
    EXPECT_THROW(image::verifyTiffStrips(dir / "flipped.tif"), PlatformError);
    EXPECT_NE(Validator::validate(dir / "flipped.tif", SupportedFormat::tiff),
              ValidationStatus::passed());
}

TEST_F(TiffEncoderTest, RefusesRowsBeyondTheImage) {
    TiffEncoder encoder(dir / "short.tif", 4, 2, 1, {});
    const std::uint8_t rows[12] = {};
    EXPECT_THROW(encoder.addRows(rows, 4, 3), PlatformError);
    encoder.addRows(rows, 4, 1);
    EXPECT_THROW(encoder.finish(), PlatformError); // one row missing
}

TEST_F(TiffEncoderTest, ConversionKeepsProfileXmpOrientationResolutionAndExif) {
    // A Display P3 JPEG at 300 dpi, turned (orientation 6), with camera, location and XMP fields,
    // in both EXIF byte orders.
    tool({"convert", "-size", "90x60", "plasma:", "-depth", "8", (dir / "base.png").string()});
    tool({"vips", "icc_transform", (dir / "base.png").string(),
          (dir / "p3.jpg").string() + "[Q=95]", "p3"});
    for (const std::string order : {"II", "MM"}) {
        const fs::path photo = dir / ("photo-" + order + ".jpg");
        fs::copy_file(dir / "p3.jpg", photo);
        tool({"exiftool", "-q", "-overwrite_original", "-EXIF:all=", photo.string()});
        tool({"exiftool", "-q", "-overwrite_original", "-ExifByteOrder#=" + order, "-Make=Kelvane",
              "-Model=K1", "-ExposureTime=1/250", "-Orientation#=6", "-XResolution=300",
              "-YResolution=300", "-ResolutionUnit=inches", "-GPSLatitude=48.85",
              "-GPSLatitudeRef=N", "-XMP-dc:Title=secret place", photo.string()});
        ASSERT_EQ(exifTag(photo, "ExifByteOrder"), order);

        const fs::path kept = ImageConverter::convert(imageRequest(
            photo, SupportedFormat::jpeg, SupportedFormat::tiff, dir / ("keep-" + order)));
        EXPECT_EQ(identifySize(kept), "90x60") << order; // the tag travels, the pixels do not turn
        EXPECT_EQ(exifTag(kept, "Orientation"), "6") << order;
        EXPECT_EQ(exifTag(kept, "Make"), "Kelvane") << order;
        EXPECT_EQ(exifTag(kept, "Model"), "K1") << order;
        EXPECT_EQ(exifTag(kept, "ExposureTime"), "0.004") << order;
        EXPECT_EQ(exifTag(kept, "GPSLatitude"), "48.85") << order;
        EXPECT_EQ(exifTag(kept, "Title"), "secret place") << order;
        EXPECT_EQ(exifTag(kept, "ProfileDescription"), exifTag(photo, "ProfileDescription"))
            << order;
        EXPECT_NE(exifTag(kept, "ProfileDescription"), "") << order;
        EXPECT_NEAR(std::stod("0" + exifTag(kept, "XResolution")), 118.11, 0.01)
            << order; // 300 dpi in centimetres
        EXPECT_EQ(exifTag(kept, "ExifByteOrder"), order) << order;
        EXPECT_EQ(Validator::validate(kept, SupportedFormat::tiff), ValidationStatus::passed())
            << order;
        // exiftool warns of directories or values it cannot follow.
        EXPECT_EQ(exifTag(kept, "Warning"), "") << order;

        auto strip = imageRequest(photo, SupportedFormat::jpeg, SupportedFormat::tiff,
                                  dir / ("strip-" + order));
        strip.stripMetadata = true;
        const fs::path stripped = ImageConverter::convert(strip);
        EXPECT_EQ(exifTag(stripped, "Make"), "Kelvane") << order;
        EXPECT_EQ(exifTag(stripped, "GPSLatitude"), "") << order;
        EXPECT_EQ(exifTag(stripped, "Title"), "") << order;
        EXPECT_EQ(readFile(stripped).find("secret place"), std::string::npos) << order;
    }
}

} // namespace
} // namespace kv::test
