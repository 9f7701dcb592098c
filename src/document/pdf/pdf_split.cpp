// A PDF split into one file per page with qpdf.
#include "document/document_converter.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "engine/output_file.h"
#include "engine/output_name_registry.h"

#include <cstdio>
#include <memory>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFWriter.hh>

namespace kv::DocumentConverter {
namespace {

constexpr std::string_view kCategory = "Document";

std::unique_ptr<QPDF> openPDF(const std::filesystem::path& source) {
    auto pdf = std::make_unique<QPDF>();
    pdf->setSuppressWarnings(true);
    try {
        pdf->processFile(source.c_str());
    } catch (const QPDFExc& e) {
        if (e.getErrorCode() == qpdf_e_password)
            throw ConversionError::corruptFile("The PDF is protected by a password");
        throw ConversionError::failedToLoadFile();
    } catch (const std::exception&) {
        throw ConversionError::failedToLoadFile();
    }
    return pdf;
}

} // namespace

std::filesystem::path splitPDF(const ConvertRequest& request) {
    auto& log = ConversionLogger::shared();
    auto pdf = openPDF(request.source);
    std::vector<QPDFPageObjectHelper> pages;
    try {
        pages = QPDFPageDocumentHelper(*pdf).getAllPages();
    } catch (const std::exception&) {
        throw ConversionError::failedToLoadFile();
    }

    const auto folder = OutputNameRegistry::shared().reserve(
        request.outputDir, baseNameOf(request.source) + " (pages)", "");
    PendingOutput pending(folder, PendingOutput::Kind::folder);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (request.stop.stop_requested())
            throw ConversionError::cancelled();
        char name[32];
        std::snprintf(name, sizeof name, "page_%03zu.pdf", i + 1);
        // A page that cannot be written fails the whole split: a folder missing a page would
        // pass for a complete one.
        try {
            QPDF single;
            single.emptyPDF();
            QPDFPageDocumentHelper(single).addPage(pages[i], false);
            QPDFWriter writer(single, (pending.path() / name).c_str());
            writer.setStaticID(false);
            writer.write();
        } catch (const std::exception& e) {
            log.error("Could not write page " + std::to_string(i + 1), kCategory, e.what());
            throw ConversionError::corruptFile("Page " + std::to_string(i + 1) +
                                               " could not be written: " + e.what());
        }
        if (request.progress)
            request.progress(static_cast<double>(i + 1) / static_cast<double>(pages.size()));
    }
    if (pages.empty())
        throw ConversionError::emptyOutput(); // the pending folder is removed
    log.success("Wrote " + std::to_string(pages.size()) + " page(s)", kCategory,
                folder.filename().string());
    return pending.commit();
}

} // namespace kv::DocumentConverter
