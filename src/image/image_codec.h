// The image codec service: image sources, decoded images, pixel operations and encoders.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

namespace kv::image {

/// Container types the service reads or writes.
enum class ImageType {
    png,
    jpeg,
    tiff,
    bmp,
    gif,
    heic,
    heif,
    webp,
    ico,
    avif,
    psd,
    tga,
    jp2,
    jxl,
    icns,
    raw,
    unknown
};

/// A colour with components in 0…1.
struct RgbColor {
    double red = 1.0;
    double green = 1.0;
    double blue = 1.0;
};

/// What a source reports about one frame, before any transform.
struct ImageProperties {
    int width = 0;
    int height = 0;
    int orientation = 1; // EXIF orientation 1…8 as stored
    std::optional<double> dpiWidth;
    std::optional<double> dpiHeight;
    std::vector<int> frameDelaysMs; // animated GIF/WebP: one delay per frame
    std::optional<int> loopCount;   // animated images: 0 loops forever
    bool hasAlpha = false;
    bool hasIccProfile = false;
    bool hasExif = false;
    bool hasGps = false;
    bool hasXmp = false;
};

/// A decoded image with its metadata (EXIF, ICC, XMP). Operations return new images and leave this
/// one as it is; pixels are computed lazily, when an encoder or `rgba8` pulls them.
class Image {
  public:
    struct Impl;
    explicit Image(std::shared_ptr<const Impl> impl);

    int width() const;
    int height() const;
    bool hasAlpha() const;
    /// EXIF orientation 1…8 (1 when absent).
    int orientation() const;
    bool hasIccProfile() const;
    /// For the service's own code (image/); holds the library's image.
    const Impl& impl() const { return *m_impl; }

    /// The pixels turned and mirrored as the orientation tag says; the tag becomes 1.
    Image oriented() const;
    /// Stretched to exactly width × height with a high-quality kernel.
    Image resized(int width, int height) const;
    Image cropped(int left, int top, int width, int height) const;
    /// Alpha composited over `background` and removed.
    Image flattened(RgbColor background) const;
    /// 8-bit sRGB (or 8-bit gray for gray sources when `keepGray`), pixels converted through the
    /// embedded ICC profile, which is then dropped.
    Image inSrgb(bool keepGray = false) const;
    /// 8-bit gray (alpha kept).
    Image grayscale() const;
    /// GPS fields and XMP removed; EXIF and ICC kept.
    Image withoutGpsAndXmp() const;

    /// Pulls every pixel through the decoder once (in strips); throws PlatformError on damage.
    void verifyDecodes() const;

    /// Row-major RGBA, 8 bits per component, straight alpha, sRGB.
    std::vector<std::uint8_t> rgba8() const;
    /// The same rows handed over top to bottom, up to `rows` at a time, so that a caller filling
    /// its own buffer never holds a second full-size copy. `take(pixels, top, count)`.
    void
    rgba8Strips(int rows,
                const std::function<void(std::span<const std::uint8_t>, int, int)>& take) const;
    /// An image from row-major RGBA bytes (size must be width × height × 4).
    static Image fromRgba8(std::span<const std::uint8_t> rgba, int width, int height);

  private:
    std::shared_ptr<const Impl> m_impl;
};

/// An opened image file or buffer. Opening reads only the header.
class ImageSource {
  public:
    /// Throws PlatformError when the file is not an image the service can read.
    static ImageSource open(const std::filesystem::path& file);
    static ImageSource openBytes(std::span<const std::uint8_t> bytes);

    ImageType type() const { return m_type; }
    int frameCount() const;
    ImageProperties properties(int index = 0) const;
    /// The frame that stands for the file: 0, except in an ICO, where it is the largest icon.
    int primaryFrame() const;
    /// Frame `index`. `sequential` promises a single top-to-bottom read (streams large images);
    /// turning by an orientation tag needs `sequential` false.
    Image decode(int index = 0, bool sequential = true) const;
    /// Checks that frame `index` decodes completely, as cheaply as that can be known: JPEG scans
    /// are entropy-decoded at 1/8 scale, PNG streams inflated with every checksum verified, HEIF
    /// and AVIF decoded by libheif alone, striped deflate TIFF strips inflated on all cores; other
    /// types decode every pixel. Throws PlatformError on damage or truncation.
    void verifyDecodes(int index = 0) const;
    /// Frame `index` scaled so its longer side is at most `maxPixelSize`, orientation applied.
    Image thumbnail(int index, int maxPixelSize) const;

    struct State;

  private:
    explicit ImageSource(std::shared_ptr<const State> state, ImageType type)
        : m_state(std::move(state)), m_type(type) {}
    std::shared_ptr<const State> m_state;
    ImageType m_type = ImageType::unknown;
};

/// Encoder settings; every value not given here is the service's documented default per type.
struct EncodeOptions {
    ImageType type = ImageType::png;
    double quality = 0.92;     // lossy quality, 0…1
    std::stop_token stop = {}; // once asked to stop, our streaming encoders (PNG, TIFF, HEIF) fail
    // HEIC: the encoder's fastest preset, 1.3–1.7× quicker at a somewhat different size and loss
    // for the same quality; for callers that measure the result (the compression levels).
    bool fastest = false;
};

/// Writes the whole image to `file`; throws PlatformError (the file may then hold garbage).
void encodeImage(const Image& image, const std::filesystem::path& file,
                 const EncodeOptions& options);
/// The encoded bytes.
std::vector<std::uint8_t> encodeImageToBytes(const Image& image, const EncodeOptions& options);

/// Whether this machine can encode `type` (tried on a tiny image, once per type).
bool canEncode(ImageType type);

} // namespace kv::image
