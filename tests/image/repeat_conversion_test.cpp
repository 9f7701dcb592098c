#include "image/image_codec.h"
#include "image/image_converter.h"
#include "image_fixtures.h"
#include "support/test_support.h"
#include "validate/validator.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

using F = SupportedFormat;

// An opaque grey jp2 of 48 × 32 pixels.
void writeGreyJp2(const std::filesystem::path& file, std::uint8_t level) {
    std::vector<std::uint8_t> rgba(48 * 32 * 4, level);
    for (std::size_t i = 3; i < rgba.size(); i += 4)
        rgba[i] = 255;
    image::encodeImage(image::Image::fromRgba8(rgba, 48, 32), file,
                       {.type = image::ImageType::jp2, .quality = 0.9, .stop = {}});
}

} // namespace

// A long-lived process (tool server, desktop queue) converts one file several times; every
// conversion must read the file afresh.
TEST(ImageConverter, SameSourceConvertsAgainInOneProcess) {
    test::TempDir dir;
    const auto source = dir / "twice.jp2";
    writeGreyJp2(source, 200);
    for (const auto target : {F::png, F::tiff, F::jpeg, F::png}) {
        const auto out = ImageConverter::convert(test::imageRequest(
            source, F::jp2, target, dir / ("out-" + std::string(rawValue(target)))));
        EXPECT_EQ(Validator::validate(out, target), ValidationStatus::passed()) << rawValue(target);
    }
    // The file replaced on disk: the next conversion sees the new pixels.
    std::filesystem::remove(source);
    writeGreyJp2(source, 20);
    const auto out =
        ImageConverter::convert(test::imageRequest(source, F::jp2, F::png, dir / "new"));
    EXPECT_LT(test::pixelAt(out, 10, 10)[0], 60);
}

} // namespace kv
