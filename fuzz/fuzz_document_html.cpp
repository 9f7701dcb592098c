// Fuzzes the HTML charset sniffing and reader, and the Markdown writer on what it read; a page
// read in small pieces must give exactly what the whole read gives.
#include "document/markdown.h"
#include "document/richtext/html_reader.h"
#include "engine/conversion_error.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const std::string text =
            kv::richtext::decodeHTMLBytes(std::string(reinterpret_cast<const char*>(data), size));
        const kv::richtext::RichText whole = kv::richtext::readHTML(text);
        (void)kv::DocumentConverter::attributedStringToMarkdown(whole);
        if (kv::richtext::readHTML(text, 64) != whole)
            std::abort();
    } catch (const kv::ConversionError&) {
    }
    return 0;
}
