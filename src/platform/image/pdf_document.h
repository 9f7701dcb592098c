// PDF reading and rendering (poppler) and one-page image PDFs (cairo).
#pragma once

#include "platform/image/image_codec.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kv::platform {

/// A page's size in points, as the page is shown (rotation applied).
struct PageSize {
    double width = 0;
    double height = 0;
};

/// A rendered page: RGBA, 8 bits per component, alpha premultiplied, rows of width × 4 bytes.
struct PageBitmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

class PdfDocument {
  public:
    /// Throws PlatformError when the file is not a PDF poppler can open (or needs a password).
    static PdfDocument open(const std::filesystem::path& file);
    ~PdfDocument();
    PdfDocument(PdfDocument&&) noexcept;
    PdfDocument& operator=(PdfDocument&&) noexcept;

    int pageCount() const;
    /// Nothing when the document cannot return the page.
    std::optional<PageSize> pageSize(int index) const;
    /// The page's text layer in reading order; empty when the page has none, nothing when the
    /// document cannot return the page.
    std::optional<std::string> pageText(int index) const;
    /// The page drawn scaled by `scale` into a width × height raster that starts transparent, or
    /// white when `whiteBackground`. Nothing when the page or the raster cannot be made.
    std::optional<PageBitmap> render(int index, int width, int height, double scale,
                                     bool whiteBackground) const;
    /// The page drawn on white at `scale` into a width × height raster and encoded to `file`.
    /// False when the page, the raster or the encoder fails.
    bool renderToFile(int index, int width, int height, double scale,
                      const std::filesystem::path& file, const EncodeOptions& options) const;

    struct State;

  private:
    explicit PdfDocument(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

/// Writes a one-page PDF whose page is the image's size × `scale` points, white under any
/// transparency. `jpegFile`, when given, is embedded as the image instead of re-encoding the pixels
/// (it must be the JPEG the image was decoded from, untransformed). Throws PlatformError.
void writeImagePDF(const Image& image, double scale, const std::filesystem::path& file,
                   std::span<const std::uint8_t> jpegFile = {});

} // namespace kv::platform
