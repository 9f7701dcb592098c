// Our parallel PNG encoder and PNG integrity check, read back by ImageMagick (libpng).
#include "engine/conversion_error.h"
#include "image/image_converter.h"
#include "image/png_check.h"
#include "image/png_encoder.h"
#include "image_fixtures.h"
#include "platform/platform_error.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>

namespace kv::test {
namespace {
namespace fs = std::filesystem;
using image::PngEncoder;
using image::PngSettings;

// Noise with long runs and repeats, so the deflate stream has literals and matches.
std::vector<std::uint16_t> samplesFor(int width, int height, int channels, int bitDepth,
                                      unsigned seed) {
    std::vector<std::uint16_t> samples(static_cast<std::size_t>(width) *
                                       static_cast<std::size_t>(height) *
                                       static_cast<std::size_t>(channels));
    std::uint32_t state = seed;
    const std::uint32_t mask = bitDepth == 8 ? 0xFF : 0xFFFF;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        const bool noisy = (i / 97) % 3 == 0;
        samples[i] = static_cast<std::uint16_t>((noisy ? state >> 11 : i / 5 * 7) & mask);
    }
    return samples;
}

fs::path encode(const fs::path& file, const std::vector<std::uint16_t>& samples, int width,
                int height, int channels, int bitDepth, PngSettings settings,
                const image::PngMetadata& metadata = {}) {
    PngEncoder encoder(file, width, height, channels, bitDepth, metadata, settings);
    const std::size_t rowSamples =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(channels);
    std::vector<std::uint8_t> rows;
    // Hand the rows over in uneven groups, as a pipeline would.
    for (int top = 0; top < height;) {
        const int count = std::min(height - top, 1 + top % 5);
        rows.clear();
        for (std::size_t i = 0; i < rowSamples * static_cast<std::size_t>(count); ++i) {
            const std::uint16_t sample = samples[static_cast<std::size_t>(top) * rowSamples + i];
            if (bitDepth == 8) {
                rows.push_back(static_cast<std::uint8_t>(sample));
            } else {
                std::uint8_t native[2];
                std::memcpy(native, &sample, 2);
                rows.insert(rows.end(), native, native + 2);
            }
        }
        encoder.addRows(rows.data(), rowSamples * static_cast<std::size_t>(bitDepth / 8), count);
        top += count;
    }
    encoder.finish();
    return file;
}

// 16-bit RGBA as ImageMagick decodes the file.
std::vector<std::uint16_t> decodedByImageMagick(const fs::path& png, const fs::path& scratch) {
    tool({"convert", png.string(), "-depth", "16", "-endian", "MSB", "rgba:" + scratch.string()});
    const std::string bytes = readFile(scratch);
    std::vector<std::uint16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::uint16_t>((static_cast<unsigned char>(bytes[2 * i]) << 8) |
                                                static_cast<unsigned char>(bytes[2 * i + 1]));
    return samples;
}

std::vector<std::uint16_t> asRgba16(const std::vector<std::uint16_t>& samples, int channels,
                                    int bitDepth) {
    std::vector<std::uint16_t> rgba;
    const auto widen = [&](std::uint16_t v) {
        return static_cast<std::uint16_t>(bitDepth == 8 ? v * 257 : v);
    };
    for (std::size_t i = 0; i < samples.size(); i += static_cast<std::size_t>(channels)) {
        const std::uint16_t* p = &samples[i];
        const bool colour = channels >= 3;
        const bool alpha = channels == 2 || channels == 4;
        rgba.push_back(widen(p[0]));
        rgba.push_back(widen(colour ? p[1] : p[0]));
        rgba.push_back(widen(colour ? p[2] : p[0]));
        rgba.push_back(alpha ? widen(p[channels - 1]) : 65535);
    }
    return rgba;
}

class PngEncoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!haveTool("convert"))
            GTEST_SKIP() << "ImageMagick decodes the outputs";
    }
    TempDir dir;
};

TEST_F(PngEncoderTest, EveryLayoutRoundTripsExactlyAcrossBandSeams) {
    struct Size {
        int width, height;
    };
    // One pixel; odd widths; a row longer than a band; many small bands.
    for (const Size size : {Size{1, 1}, Size{37, 61}, Size{301, 9}}) {
        for (int channels = 1; channels <= 4; ++channels) {
            for (const int depth : {8, 16}) {
                const std::string name = std::to_string(size.width) + "x" +
                                         std::to_string(size.height) + "-" +
                                         std::to_string(channels) + "-" + std::to_string(depth);
                const auto samples = samplesFor(size.width, size.height, channels, depth,
                                                7u + static_cast<unsigned>(channels));
                const PngSettings settings{
                    .level = 6, .bandBytes = 500, .threads = channels % 2 == 0 ? 3u : 1u};
                const fs::path png = encode(dir / (name + ".png"), samples, size.width, size.height,
                                            channels, depth, settings);
                EXPECT_EQ(identifySize(png),
                          std::to_string(size.width) + "x" + std::to_string(size.height))
                    << name;
                EXPECT_EQ(decodedByImageMagick(png, dir / "decoded.raw"),
                          asRgba16(samples, channels, depth))
                    << name;
                EXPECT_NO_THROW(image::verifyPngFile(png)) << name;
            }
        }
    }
}

TEST_F(PngEncoderTest, BandsReachBackIntoThePreviousBand) {
    // Three random rows repeated: after the first three rows every row is a match 3 rows back, so
    // a band that did not see its predecessor's tail would store ~5 KB of literals again.
    const int width = 600;
    const int height = 400;
    auto samples = samplesFor(width, 3, 3, 8, 99);
    for (int y = 3; y < height; ++y)
        samples.insert(samples.end(), samples.begin() + (y % 3) * width * 3,
                       samples.begin() + (y % 3 + 1) * width * 3);
    const auto single = fs::file_size(
        encode(dir / "single.png", samples, width, height, 3, 8, {.bandBytes = 1 << 30}));
    const auto banded = fs::file_size(
        encode(dir / "banded.png", samples, width, height, 3, 8, {.bandBytes = 40000}));
    EXPECT_LT(banded, single + 2000) << "single band " << single;
    EXPECT_EQ(decodedByImageMagick(dir / "banded.png", dir / "a.raw"),
              decodedByImageMagick(dir / "single.png", dir / "b.raw"));
}

TEST_F(PngEncoderTest, WritesResolutionAndText) {
    if (!haveTool("exiftool"))
        GTEST_SKIP() << "exiftool reads the chunks";
    image::PngMetadata metadata;
    metadata.pixelsPerMetreX = 11811; // 300 dpi
    metadata.pixelsPerMetreY = 11811;
    metadata.texts = {{"Title", "Kelvane test"}, {"bad\nkey", "skipped"}};
    const auto samples = samplesFor(20, 10, 3, 8, 1);
    const fs::path png = encode(dir / "meta.png", samples, 20, 10, 3, 8, {}, metadata);
    EXPECT_EQ(exifTag(png, "PixelsPerUnitX"), "11811");
    EXPECT_EQ(exifTag(png, "Title"), "Kelvane test");
    EXPECT_EQ(readFile(png).find("skipped"), std::string::npos);
}

TEST_F(PngEncoderTest, RefusesRowsBeyondTheImage) {
    PngEncoder encoder(dir / "short.png", 4, 2, 1, 8, {});
    const std::uint8_t rows[12] = {};
    EXPECT_THROW(encoder.addRows(rows, 4, 3), PlatformError);
    encoder.addRows(rows, 4, 1);
    EXPECT_THROW(encoder.finish(), PlatformError); // one row missing
}

// ---------------------------------------------------------------------------- the check

std::uint32_t crc32Of(std::string_view bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// Offset of the first IDAT chunk's data.
std::size_t firstIdat(const std::string& png) {
    return png.find("IDAT") + 4;
}

TEST_F(PngEncoderTest, CheckAcceptsWhatOtherEncodersWrite) {
    tool({"convert", "-size", "97x61", "plasma:", (dir / "rgb.png").string()});
    const std::vector<std::vector<std::string>> variants{
        {"-interlace", "PNG"},
        {"-colors", "16", "-type", "Palette"},
        {"-colorspace", "Gray", "-depth", "1"},
        {"-depth", "16", "-alpha", "set"},
        {"-colorspace", "Gray", "-alpha", "set"},
        {"-colorspace", "Gray", "-depth", "4"},
    };
    int n = 0;
    for (const auto& options : variants) {
        const fs::path out = dir / ("variant" + std::to_string(n++) + ".png");
        std::vector<std::string> argv{"convert", (dir / "rgb.png").string()};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(out.string());
        tool(argv);
        EXPECT_NO_THROW(image::verifyPngFile(out)) << options.front();
    }
}

TEST_F(PngEncoderTest, CheckFindsDamageAnywhere) {
    tool({"convert", "-size", "200x150", "plasma:", (dir / "good.png").string()});
    const std::string good = readFile(dir / "good.png");
    ASSERT_NO_THROW(image::verifyPngFile(dir / "good.png"));
    const auto rejects = [&](const std::string& name, const std::string& bytes) {
        writeFile(dir / name, bytes);
        EXPECT_THROW(image::verifyPngFile(dir / name), PlatformError) << name;
    };
    rejects("cut.png", good.substr(0, good.size() / 2));
    rejects("noend.png", good.substr(0, good.size() - 12));
    rejects("empty.png", "");

    // One byte of image data changed: the chunk checksum catches it …
    std::string flipped = good;
    const std::size_t at = firstIdat(good) + 100;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x10);
    rejects("crc.png", flipped);
    // … and with the checksum recomputed, inflating or the stream's Adler-32 does.
    const std::size_t length = (static_cast<unsigned char>(good[firstIdat(good) - 8]) << 24) |
                               (static_cast<unsigned char>(good[firstIdat(good) - 7]) << 16) |
                               (static_cast<unsigned char>(good[firstIdat(good) - 6]) << 8) |
                               static_cast<unsigned char>(good[firstIdat(good) - 5]);
    const std::uint32_t crc =
        crc32Of(std::string_view(flipped).substr(firstIdat(good) - 4, length + 4));
    for (int k = 0; k < 4; ++k)
        flipped[firstIdat(good) + length + static_cast<std::size_t>(k)] =
            static_cast<char>(crc >> (24 - 8 * k));
    rejects("stream.png", flipped);
}

// The samples as libpng decodes them (through vips, which applies no colour management), bands
// and bit depth as stored.
std::string rawSamples(const fs::path& png, const fs::path& scratch) {
    tool({"vips", "rawsave", png.string(), scratch.string()});
    return readFile(scratch);
}

TEST_F(PngEncoderTest, ConversionsOfUnusualSourcesAreExact) {
    if (!haveTool("vips"))
        GTEST_SKIP() << "vips reads the samples back";
    // Gray, gray+alpha, palette and RGBA sources keep every sample; a 16-bit source becomes 8-bit.
    tool({"convert", "-size", "131x77", "plasma:", "-seed", "3", (dir / "base.png").string()});
    const std::vector<std::pair<std::string, std::vector<std::string>>> sources{
        {"gray", {"-type", "Grayscale", "-depth", "8"}},
        {"grayalpha",
         {"-type", "GrayscaleAlpha", "-channel", "A", "-fx", "j/h", "+channel", "-depth", "8"}},
        {"palette", {"-colors", "20", "-type", "Palette"}},
        {"rgba", {"-alpha", "set", "-channel", "A", "-fx", "i/w", "+channel", "-depth", "8"}},
        {"deep", {"-depth", "16"}},
    };
    for (const auto& [name, options] : sources) {
        const fs::path source = dir / (name + ".png");
        std::vector<std::string> argv{"convert", (dir / "base.png").string()};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(source.string());
        tool(argv);
        ConvertRequest request;
        request.source = source;
        request.sourceFormat = SupportedFormat::png;
        request.target = SupportedFormat::png;
        request.outputDir = dir / ("out-" + name);
        fs::create_directories(request.outputDir);
        const fs::path out = ImageConverter::convert(request);
        EXPECT_NO_THROW(image::verifyPngFile(out)) << name;
        EXPECT_EQ(decodedByImageMagick(out, dir / "a.raw").size(), std::size_t{131 * 77 * 4})
            << name;
        const std::string expected = rawSamples(source, dir / "source.raw");
        const std::string actual = rawSamples(out, dir / "out.raw");
        if (name != "deep") {
            EXPECT_TRUE(expected == actual) << name;
            continue;
        }
        // 16 bits come out as their high byte (vips' cast), in the machine's byte order.
        ASSERT_EQ(actual.size() * 2, expected.size());
        int worst = 0;
        for (std::size_t i = 0; i < actual.size(); ++i) {
            std::uint16_t wide = 0;
            std::memcpy(&wide, expected.data() + 2 * i, 2);
            worst =
                std::max(worst, std::abs(int{static_cast<unsigned char>(actual[i])} - wide / 257));
        }
        EXPECT_LE(worst, 1);
    }
}

} // namespace
} // namespace kv::test
