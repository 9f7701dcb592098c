// Fuzzes the PDF text path: poppler opens hostile bytes, and every page's size and text layer is
// read as text extraction reads them. Failing to open is fine; crashing or reading out of bounds
// is not.
#include "platform/platform_error.h"
#include "platform/poppler/pdf_document.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string file = "/dev/shm/kv-fuzz-pdf-" + std::to_string(::getpid()) + ".pdf";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    try {
        const auto document = kv::platform::PdfDocument::open(file);
        const int pages = std::min(document.pageCount(), 64);
        for (int i = 0; i < pages; ++i) {
            (void)document.pageSize(i);
            (void)document.pageText(i);
        }
    } catch (const kv::PlatformError&) {
        // not a PDF poppler can open
    }
    return 0;
}
