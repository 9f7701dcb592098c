// Fuzzes the DOCX reader through the ZIP reader; inputs that read are exported as HTML (tables,
// merged and nested cells, pictures), written as DOCX and read back, and read again in small
// pieces, which must give exactly what the whole read gives.
#include "document/richtext/docx_reader.h"
#include "document/richtext/docx_writer.h"
#include "document/richtext/html_writer.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        kv::ConversionLogger::shared().setEcho(kv::ConversionLogger::Echo::none);
        return true;
    }();
    (void)quiet;
    try {
        const auto text = kv::richtext::readDOCX(std::span(data, size));
        (void)kv::richtext::writeHTML(text, "fuzz");
        (void)kv::richtext::readDOCX(kv::richtext::writeDOCX(text));
        if (kv::richtext::readDOCX(std::span(data, size), 64) != text)
            std::abort();
    } catch (const kv::ConversionError&) {
    }
    kv::ConversionLogger::shared().clear();
    return 0;
}
