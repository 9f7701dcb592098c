// Fuzzes the EPUB chapter serialiser: whatever HTML comes in, the chapter must be well-formed XML.
#include "document/epub_writer.h"
#include "document/richtext/html_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <pugixml.hpp>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string html =
        kv::richtext::decodeHTMLBytes(std::string(reinterpret_cast<const char*>(data), size));
    const std::string chapter = kv::DocumentConverter::wrapAsXHTML(html, html.substr(0, 16));
    pugi::xml_document document;
    if (!document.load_buffer(chapter.data(), chapter.size(),
                              pugi::parse_default | pugi::parse_doctype))
        std::abort();
    return 0;
}
