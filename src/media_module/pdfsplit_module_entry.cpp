// The PDF splitting module's entry: the address of the split conversion.
#include "document/document_converter.h"
#include "media_module/media_module.h"

extern "C" __attribute__((visibility("default"))) const kv::media_module::PDFSplitTable*
kelvane_pdfsplit_module() {
    using namespace kv;
    static const media_module::PDFSplitTable table{
        .version = media_module::kTableVersion,
        .splitPDF = &DocumentConverter::splitPDF,
    };
    return &table;
}
