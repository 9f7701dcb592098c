// Fuzzes the HTML charset sniffing and reader, and the Markdown writer on what it read; a page
// read in small pieces must give exactly what the whole read gives.
#include "document/markdown.h"
#include "document/richtext/html_reader.h"
#include "engine/conversion_error.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool sameRichText(const kv::richtext::RichText& a, const kv::richtext::RichText& b) {
    if (a.string() != b.string() || a.runs().size() != b.runs().size())
        return false;
    for (std::size_t i = 0; i < a.runs().size(); ++i) {
        const auto& x = a.runs()[i];
        const auto& y = b.runs()[i];
        if (x.start != y.start || x.length != y.length || !(x.attributes == y.attributes))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const std::string text =
            kv::richtext::decodeHTMLBytes(std::string(reinterpret_cast<const char*>(data), size));
        const kv::richtext::RichText whole = kv::richtext::readHTML(text);
        (void)kv::DocumentConverter::attributedStringToMarkdown(whole);
        if (!sameRichText(kv::richtext::readHTML(text, 64), whole))
            std::abort();
    } catch (const kv::ConversionError&) {
    }
    return 0;
}
