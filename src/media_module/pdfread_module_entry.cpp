// The PDF reading module's entry: the addresses of its text readers and PDF check.
#include "document/pdf/pdf_conversions.h"
#include "media_module/media_module.h"
#include "validate/validator.h"

extern "C" __attribute__((visibility("default"))) const kv::media_module::PDFReadTable*
kelvane_pdfread_module() {
    using namespace kv;
    static const media_module::PDFReadTable table{
        .version = media_module::kTableVersion,
        .validatePDF = &Validator::validatePDF,
        .extractPDFText = &DocumentConverter::extractPDFText,
        .pdfToHTML = &DocumentConverter::pdfToHTML,
        .pdfToMarkdown = &DocumentConverter::pdfToMarkdown,
    };
    return &table;
}
