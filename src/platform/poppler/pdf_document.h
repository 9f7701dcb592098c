// PDF reading and rendering (poppler).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
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
    /// The page drawn on white at `scale` into a width × height raster, handed to `take` as
    /// opaque B, G, R, A bytes, `stride` bytes a row, that live only during the call. False when
    /// the page, the raster or `take` fails with PlatformError.
    bool renderOnWhite(int index, int width, int height, double scale,
                       const std::function<void(const std::uint8_t* bgra, int stride)>& take) const;

    struct State;

  private:
    explicit PdfDocument(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace kv::platform
