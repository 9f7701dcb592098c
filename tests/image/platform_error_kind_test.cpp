// Library failures carry their kind from the door to libvips: damaged source data is told apart
// from every other failure without reading the message.
#include "image/image_codec.h"
#include "image_fixtures.h"
#include "platform/platform_error.h"

#include <gtest/gtest.h>

namespace kv::test {
namespace {
namespace fs = std::filesystem;

image::Image gradient(int width, int height) {
    std::vector<std::uint8_t> rgba;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            rgba.insert(rgba.end(), {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y),
                                     static_cast<std::uint8_t>(x ^ y), 255});
    return image::Image::fromRgba8(rgba, width, height);
}

PlatformError::Kind kindOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const PlatformError& failure) {
        return failure.kind();
    }
    ADD_FAILURE() << "no PlatformError";
    return PlatformError::Kind::other;
}

TEST(PlatformErrorKind, DamagedSourcesAreDecodingFailuresAndWriteFailuresAreNot) {
    TempDir dir;
    const fs::path jpeg = dir / "whole.jpg";
    image::encodeImage(gradient(256, 256), jpeg, {.type = image::ImageType::jpeg});
    const std::string bytes = readFile(jpeg);
    writeFile(dir / "cut.jpg", bytes.substr(0, bytes.size() / 2));
    const auto cut = image::ImageSource::open(dir / "cut.jpg");
    EXPECT_EQ(kindOf([&] { cut.decode(0).verifyDecodes(); }), PlatformError::Kind::sourceDecoding);

    // The saver cannot open its file: nothing is wrong with the source.
    for (const auto type :
         {image::ImageType::jpeg, image::ImageType::webp, image::ImageType::png}) {
        EXPECT_EQ(kindOf([&] {
                      image::encodeImage(gradient(32, 32), dir / "missing" / "out.img",
                                         {.type = type});
                  }),
                  PlatformError::Kind::other)
            << static_cast<int>(type);
    }
}

} // namespace
} // namespace kv::test
