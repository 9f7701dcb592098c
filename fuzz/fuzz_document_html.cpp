// Fuzzes the HTML charset sniffing and reader, and the Markdown writer on what it read.
#include "document/markdown.h"
#include "document/richtext/html_reader.h"
#include "engine/conversion_error.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const std::string text =
            kv::richtext::decodeHTMLBytes(std::string(reinterpret_cast<const char*>(data), size));
        (void)kv::DocumentConverter::attributedStringToMarkdown(kv::richtext::readHTML(text));
    } catch (const kv::ConversionError&) {
    }
    return 0;
}
