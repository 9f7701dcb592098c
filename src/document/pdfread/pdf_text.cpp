// Text read out of PDF pages (poppler), one page at a time.
#include "document/pdf/pdf_conversions.h"
#include "engine/conversion_error.h"
#include "engine/output_file.h"
#include "engine/output_name_registry.h"
#include "platform/platform_error.h"
#include "platform/poppler/pdf_document.h"

#include <functional>

namespace kv::DocumentConverter {
namespace {

constexpr std::string_view kNoText =
    "PDF contains no extractable text (may be scanned/image-based)";
constexpr std::string_view kPasswordMessage = "The PDF is protected by a password";

platform::PdfDocument openPDF(const std::filesystem::path& source) {
    try {
        return platform::PdfDocument::open(source);
    } catch (const PlatformError& e) {
        if (std::string_view(e.what()) == kPasswordMessage)
            throw ConversionError::corruptFile(kPasswordMessage);
        throw ConversionError::failedToLoadFile();
    }
}

bool isBlank(std::string_view text) {
    return text.find_first_not_of(" \t\n\r\f\v") == std::string_view::npos;
}

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\n\r\f\v");
    if (first == std::string_view::npos)
        return {};
    const std::size_t last = text.find_last_not_of(" \t\n\r\f\v");
    return text.substr(first, last - first + 1);
}

// Calls `use` with the text of each page that has a text layer, in page order; only one page's
// text is held at a time.
void forEachPageText(const std::filesystem::path& source,
                     const std::function<void(const std::string&)>& use) {
    const auto document = openPDF(source);
    const int pages = document.pageCount();
    for (int i = 0; i < pages; ++i) {
        const auto text = document.pageText(i);
        if (text && !text->empty())
            use(*text);
    }
}

void appendEscaped(std::string& out, std::string_view text, bool lineBreaks) {
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\n':
            if (lineBreaks) {
                out += "<br>";
                break;
            }
            [[fallthrough]];
        default: out += c;
        }
    }
}

} // namespace

std::string extractPDFText(const std::filesystem::path& source) {
    std::string text;
    forEachPageText(source, [&](const std::string& page) {
        text += page;
        text += "\n\n";
    });
    if (isBlank(text))
        throw ConversionError::corruptFile(kNoText);
    return text;
}

void pdfToHTML(const std::filesystem::path& source, const std::filesystem::path& output) {
    std::string body;
    bool hasText = false;
    forEachPageText(source, [&](const std::string& page) {
        hasText = hasText || !isBlank(page);
        body += "<div class=\"page\"><p>";
        appendEscaped(body, page, true);
        body += "</p></div>\n";
    });
    // Every page division is markup; the text inside decides.
    if (!hasText)
        throw ConversionError::corruptFile(kNoText);
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"UTF-8\"><title>";
    appendEscaped(page, baseNameOf(source), false);
    page +=
        "</title>\n<style>body{font-family:-apple-system,sans-serif;max-width:800px;margin:2rem "
        "auto;padding:0 1rem;line-height:1.6;}.page{margin-bottom:2rem;padding-bottom:1rem;"
        "border-bottom:1px solid #eee;}</style>\n</head>\n<body>";
    page += body;
    page += "</body>\n</html>";
    writeOutputFile(output, page);
}

void pdfToMarkdown(const std::filesystem::path& source, const std::filesystem::path& output) {
    std::string text;
    forEachPageText(source, [&](const std::string& page) {
        const std::string_view kept = trimmed(page);
        if (kept.empty())
            return;
        if (!text.empty())
            text += "\n\n---\n\n";
        text += kept;
    });
    if (text.empty())
        throw ConversionError::corruptFile(kNoText);
    text += '\n';
    writeOutputFile(output, text);
}

} // namespace kv::DocumentConverter
