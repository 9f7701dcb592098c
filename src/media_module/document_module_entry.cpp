// The document module's entry: the addresses of its PDF writers.
#include "document/pdf/pdf_conversions.h"
#include "media_module/media_module.h"

extern "C" __attribute__((visibility("default"))) const kv::media_module::DocumentTable*
kelvane_document_module() {
    using namespace kv;
    static const media_module::DocumentTable table{
        .version = media_module::kTableVersion,
        .richTextToPDF = &DocumentConverter::richTextToPDF,
        .renderHTMLToPDF = &DocumentConverter::renderHTMLToPDF,
    };
    return &table;
}
