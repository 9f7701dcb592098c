// qpdf's document and page helpers behind our own type; qpdf's exceptions become PlatformError.
#include "platform/qpdf/pdf_splitter.h"

#include "platform/platform_error.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <vector>

namespace kv::platform {

struct PdfSplitter::State {
    QPDF pdf;
    std::vector<QPDFPageObjectHelper> pages;
};

PdfSplitter::PdfSplitter(const std::filesystem::path& file) : m_state(std::make_unique<State>()) {
    m_state->pdf.setSuppressWarnings(true);
    try {
        m_state->pdf.processFile(file.c_str());
        m_state->pages = QPDFPageDocumentHelper(m_state->pdf).getAllPages();
    } catch (const QPDFExc& e) {
        if (e.getErrorCode() == qpdf_e_password)
            throw PlatformError("The PDF is protected by a password");
        throw PlatformError(e.what());
    } catch (const std::exception& e) {
        throw PlatformError(e.what());
    }
}

PdfSplitter::~PdfSplitter() = default;

int PdfSplitter::pageCount() const {
    return static_cast<int>(m_state->pages.size());
}

void PdfSplitter::writePage(int index, const std::filesystem::path& file) const {
    try {
        QPDF single;
        single.emptyPDF();
        QPDFPageDocumentHelper(single).addPage(m_state->pages.at(static_cast<std::size_t>(index)),
                                               false);
        QPDFWriter writer(single, file.c_str());
        writer.setStaticID(false);
        writer.write();
    } catch (const std::exception& e) {
        throw PlatformError(e.what());
    }
}

} // namespace kv::platform
