// PNG writer that deflates bands of rows on several threads into one zlib stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kv::image {

/// What a PNG file holds besides its pixels.
struct PngMetadata {
    std::vector<std::uint8_t> icc;  // written as iCCP
    std::vector<std::uint8_t> exif; // TIFF-structured EXIF (no "Exif\0\0" prefix), written as eXIf
    std::string xmp;                // iTXt "XML:com.adobe.xmp"
    std::uint32_t pixelsPerMetreX = 0; // pHYs, when both are above 0
    std::uint32_t pixelsPerMetreY = 0;
    std::vector<std::pair<std::string, std::string>> texts; // tEXt keyword and Latin-1 text
};

/// Encoder settings. A band of 512 KiB is ~30 rows of a 6000-pixel RGB photo: small enough to keep
/// both cores busy to the end and memory at a few bands, large enough that the per-band cost (a
/// block header, the 32 KiB dictionary, a 5-byte flush) stays under 0.1% of the output.
struct PngSettings {
    int level = 6;                      // zlib level
    std::size_t bandBytes = 512 * 1024; // filtered bytes per band; each band is one deflate job
    unsigned threads = 0;               // 0: one per core, at most 4
};

/// Writes a PNG top to bottom: construct (writes the header), `addRows` in order, then `finish`.
/// Rows are packed samples of `channels` (1 gray, 2 gray+alpha, 3 RGB, 4 RGBA) at `bitDepth` 8 or
/// 16 (16-bit samples in the machine's byte order). Every row is "up"-filtered; bands of rows are
/// deflated in parallel, each primed with the previous band's last 32 KiB, and joined into one
/// zlib stream. Failures throw PlatformError; the file may then hold a partial image.
class PngEncoder {
  public:
    PngEncoder(const std::filesystem::path& file, int width, int height, int channels, int bitDepth,
               const PngMetadata& metadata, PngSettings settings = {});
    ~PngEncoder();
    PngEncoder(const PngEncoder&) = delete;
    PngEncoder& operator=(const PngEncoder&) = delete;

    /// `count` rows, `stride` bytes apart.
    void addRows(const std::uint8_t* rows, std::size_t stride, int count);
    /// Waits for every band, writes the end of the file and closes it.
    void finish();

    struct Shared;

  private:
    void submitBand(bool last);
    void writeReady(bool waitForAll);

    std::unique_ptr<Shared> m_shared;
};

} // namespace kv::image
