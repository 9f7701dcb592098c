// Pages copied out of a PDF one at a time with qpdf.
#pragma once

#include <filesystem>
#include <memory>

namespace kv::platform {

class PdfSplitter {
  public:
    /// Throws PlatformError when qpdf cannot read the file; its text is "The PDF is protected by
    /// a password" when a password is what stops it.
    explicit PdfSplitter(const std::filesystem::path& file);
    ~PdfSplitter();
    PdfSplitter(const PdfSplitter&) = delete;
    PdfSplitter& operator=(const PdfSplitter&) = delete;

    int pageCount() const;
    /// Page `index` alone in a new PDF at `file`; throws PlatformError with qpdf's text.
    void writePage(int index, const std::filesystem::path& file) const;

    struct State;

  private:
    std::unique_ptr<State> m_state;
};

} // namespace kv::platform
