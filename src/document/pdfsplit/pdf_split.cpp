// A PDF split into one file per page.
#include "document/document_converter.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "engine/output_file.h"
#include "engine/output_name_registry.h"
#include "platform/platform_error.h"
#include "platform/qpdf/pdf_splitter.h"

#include <cstdio>
#include <optional>

namespace kv::DocumentConverter {
namespace {

constexpr std::string_view kCategory = "Document";
constexpr std::string_view kPasswordMessage = "The PDF is protected by a password";

} // namespace

std::filesystem::path splitPDF(const ConvertRequest& request) {
    auto& log = ConversionLogger::shared();
    std::optional<platform::PdfSplitter> pdf;
    try {
        pdf.emplace(request.source);
    } catch (const PlatformError& e) {
        if (std::string_view(e.what()) == kPasswordMessage)
            throw ConversionError::corruptFile(kPasswordMessage);
        throw ConversionError::failedToLoadFile();
    }
    const int pageCount = pdf->pageCount();

    const auto folder = OutputNameRegistry::shared().reserve(
        request.outputDir, baseNameOf(request.source) + " (pages)", "");
    PendingOutput pending(folder, PendingOutput::Kind::folder);
    for (int i = 0; i < pageCount; ++i) {
        if (request.stop.stop_requested())
            throw ConversionError::cancelled();
        char name[32];
        std::snprintf(name, sizeof name, "page_%03d.pdf", i + 1);
        // A page that cannot be written fails the whole split: a folder missing a page would
        // pass for a complete one.
        try {
            pdf->writePage(i, pending.path() / name);
        } catch (const PlatformError& e) {
            log.error("Could not write page " + std::to_string(i + 1), kCategory, e.what());
            throw ConversionError::corruptFile("Page " + std::to_string(i + 1) +
                                               " could not be written: " + e.what());
        }
        if (request.progress)
            request.progress(static_cast<double>(i + 1) / static_cast<double>(pageCount));
    }
    if (pageCount == 0)
        throw ConversionError::emptyOutput(); // the pending folder is removed
    log.success("Wrote " + std::to_string(pageCount) + " page(s)", kCategory,
                folder.filename().string());
    return pending.commit();
}

} // namespace kv::DocumentConverter
