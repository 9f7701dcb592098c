// The document conversions that read or write PDF. The writers live in kelvane-document.so (cairo,
// pango, litehtml), the readers in kelvane-pdfread.so (poppler); the executable reaches them
// through forwarders (media_module/media_proxy.cpp), so a conversion that needs no PDF never loads
// those libraries.
#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>

namespace kv::richtext {
class RichText;
}

namespace kv::DocumentConverter {

/// The text of every page that has some, each followed by two line feeds. Unopenable:
/// failedToLoadFile; protected by a password or without any text: corruptFile.
std::string extractPDFText(const std::filesystem::path& source);
/// One escaped "page" division per page with text.
void pdfToHTML(const std::filesystem::path& source, const std::filesystem::path& output);
/// The trimmed page texts joined by thematic breaks.
void pdfToMarkdown(const std::filesystem::path& source, const std::filesystem::path& output);

/// The text on Letter pages (72-point margins, white), in its runs' sizes, weights, slants and
/// faces, links in link colour. More than 10,000 pages: corruptFile; nothing is written then.
void richTextToPDF(const richtext::RichText& text, const std::filesystem::path& output);

/// `html` laid out 816 CSS pixels wide and drawn on pages of 1056-pixel slices (Letter; a
/// shorter last page), a white page forced. Pictures and style sheets come only from files in or
/// below `folder`, none without one. Returns where the file was published. Stops between pages
/// when `stop` asks; a layout or PDF failure fails the conversion.
std::filesystem::path renderHTMLToPDF(const std::string& html,
                                      const std::optional<std::filesystem::path>& folder,
                                      const std::filesystem::path& output, std::stop_token stop);

} // namespace kv::DocumentConverter
