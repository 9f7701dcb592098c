// Fuzzes the DOCX reader through the ZIP reader; inputs that read are exported as HTML (tables,
// merged and nested cells, pictures), written as DOCX and read back, and read again in small
// pieces, which must give exactly what the whole read gives. An input that is no ZIP is taken as
// the main document part of a package made around it, so that mutations reach the XML instead of
// stopping at a CRC check.
#include "archive/zip_writer.h"
#include "document/richtext/docx_reader.h"
#include "document/richtext/docx_writer.h"
#include "document/richtext/html_writer.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        kv::ConversionLogger::shared().setEcho(kv::ConversionLogger::Echo::none);
        return true;
    }();
    (void)quiet;
    std::span<const std::uint8_t> input(data, size);
    kv::ArchiveConverter::Bytes package;
    if (size < 2 || data[0] != 'P' || data[1] != 'K') {
        const kv::ArchiveConverter::ZipEntry part{
            .name = "word/document.xml",
            .data = std::string(reinterpret_cast<const char*>(data), size),
            .method = kv::ArchiveConverter::ZipMethod::stored,
            .modified = 0};
        package = kv::ArchiveConverter::buildZIP(std::span(&part, 1));
        input = package;
    }
    try {
        const auto text = kv::richtext::readDOCX(input);
        (void)kv::richtext::writeHTML(text, "fuzz");
        (void)kv::richtext::readDOCX(kv::richtext::writeDOCX(text));
        if (kv::richtext::readDOCX(input, 64) != text)
            std::abort();
    } catch (const kv::ConversionError&) {
    }
    kv::ConversionLogger::shared().clear();
    return 0;
}
