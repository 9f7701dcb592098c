// Deflate TIFF writer that compresses strips on several threads; libtiff writes the container.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kv::image {

/// What a TIFF file holds besides its pixels.
struct TiffMetadata {
    std::vector<std::uint8_t> icc;       // ICCProfile
    std::string xmp;                     // XMLPacket
    std::vector<std::uint8_t> iptc;      // RichTIFFIPTC (padded to whole 32-bit words)
    std::vector<std::uint8_t> photoshop; // Photoshop image resources
    std::vector<std::uint8_t>
        exif;                // TIFF-structured EXIF block: its EXIF and GPS directories are carried
    std::string description; // ImageDescription
    int orientation = 1;     // 1…8
    double pixelsPerCmX = 0; // XResolution/YResolution in centimetres, when both are above 0
    double pixelsPerCmY = 0;
};

/// Encoder settings. A strip of ~1 MiB is ~58 rows of a 6000-pixel RGB photo: about seventy jobs
/// for a 24-megapixel image keep both cores busy to the end, while each strip's fresh deflate
/// window costs under 0.1% of the output.
struct TiffSettings {
    int level = 6;                    // libdeflate level
    std::size_t stripBytes = 1 << 20; // uncompressed bytes per strip (at least one row)
    unsigned threads = 0;             // 0: one per core, at most 4
};

/// Writes an 8-bit, chunky, striped TIFF with Adobe deflate and the horizontal predictor, top to
/// bottom: construct, `addRows` in order, then `finish`. `channels` is 1 (gray), 2 (gray + alpha),
/// 3 (RGB) or 4 (RGBA, straight alpha). Strips are predicted and deflated in parallel and written
/// in order as raw strips; the directory (with the metadata) comes last. Failures throw
/// PlatformError; the file may then hold a partial image.
class TiffEncoder {
  public:
    TiffEncoder(const std::filesystem::path& file, int width, int height, int channels,
                TiffMetadata metadata, TiffSettings settings = {});
    ~TiffEncoder();
    TiffEncoder(const TiffEncoder&) = delete;
    TiffEncoder& operator=(const TiffEncoder&) = delete;

    /// `count` rows, `stride` bytes apart.
    void addRows(const std::uint8_t* rows, std::size_t stride, int count);
    /// Waits for every strip, writes the directory and closes the file.
    void finish();

    struct Shared;

  private:
    void submitStrip();
    void writeReady(bool waitForAll);

    std::unique_ptr<Shared> m_shared;
};

} // namespace kv::image
