// Converts documents; tables and subtitles are handed to the data converter.
#include "document/document_converter.h"

#include "base/ascii_case.h"
#include "base/utf8.h"
#include "data/data_converter.h"
#include "data/text_decoding.h"
#include "document/epub_writer.h"
#include "document/markdown.h"
#include "document/pdf/pdf_conversions.h"
#include "document/richtext/docx_reader.h"
#include "document/richtext/docx_writer.h"
#include "document/richtext/html_reader.h"
#include "document/richtext/html_writer.h"
#include "document/richtext/rtf_reader.h"
#include "document/richtext/rtf_writer.h"
#include "document/richtext/text_encoding.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "engine/output_file.h"
#include "engine/output_name_registry.h"
#include "engine/source_file.h"

#include <cctype>
#include <string>
#include <unistd.h>

namespace kv::DocumentConverter {
namespace {

using F = SupportedFormat;
constexpr std::string_view kCategory = "Document";

// The head every generated page shares, up to the title.
constexpr std::string_view kPageHead =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"UTF-8\"><title>";
constexpr std::string_view kPageEnd = "</body>\n</html>";
constexpr std::string_view kTextHeadTail =
    "</"
    "title>\n<style>body{font-family:-apple-system,BlinkMacSystemFont,sans-serif;max-width:800px;"
    "margin:2rem "
    "auto;padding:0 1rem;line-height:1.6;color:#333;}</style>\n</head>\n<body>";
constexpr std::string_view kMarkdownHeadTail =
    "</title>\n<meta name=\"color-scheme\" content=\"only light\">\n<style>html{color-scheme: only "
    "light;}body{font-family:-apple-system,BlinkMacSystemFont,sans-serif;max-width:800px;margin:"
    "2rem auto;padding:0 "
    "1rem;line-height:1.6;color:#1a1a1a;background:#ffffff;}code{background:#f4f4f4;padding:2px "
    "6px;border-radius:3px;font-family:'SF "
    "Mono',monospace;color:#1a1a1a;}pre{background:#f4f4f4;padding:12px "
    "14px;border-radius:6px;overflow-x:auto;font-family:'SF "
    "Mono',monospace;color:#1a1a1a;}h1,h2,h3{color:#0a0a0a;}</style>\n</head>\n<body>";

constexpr double kRTFTextPointSize = 14.0;  // plain text exported as RTF
constexpr double kDOCXTextPointSize = 12.0; // plain text exported as DOCX
constexpr double kPDFTextPointSize = 12.0;  // plain text set on PDF pages

// Where the opening tag `name` starts in lower-case `html` at or after `from`; npos if none.
std::size_t findTag(const std::string& html, std::string_view name, std::size_t from) {
    const std::string open = "<" + std::string(name);
    for (std::size_t at = html.find(open, from); at != std::string::npos;
         at = html.find(open, at + 1)) {
        const char next = at + open.size() < html.size() ? html[at + open.size()] : '>';
        if (next == '>' || next == ' ' || next == '\t' || next == '\n' || next == '\r' ||
            next == '/')
            return at;
    }
    return std::string::npos;
}

// Bytes of white space at `at`: ASCII blanks and line breaks, entities that name a blank, and
// the Unicode space separators (no-break space among them); 0 for anything visible.
std::size_t blankLength(std::string_view text, std::size_t at) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c == ' ' || (c >= '\t' && c <= '\r'))
        return 1;
    if (c == '&') {
        for (const std::string_view entity : {"&nbsp;", "&#160;", "&#xa0;", "&#xA0;", "&ensp;",
                                              "&emsp;", "&thinsp;", "&#32;", "&#10;", "&#9;"})
            if (text.substr(at, entity.size()) == entity)
                return entity.size();
        return 0;
    }
    if (c < 0x80)
        return 0;
    const std::string_view rest = text.substr(at);
    for (const std::string_view space :
         {"\u00a0", "\u0085", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
          "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200a",
          "\u2028", "\u2029", "\u202f", "\u205f", "\u3000", "\ufeff"})
        if (rest.starts_with(space))
            return space.size();
    return 0;
}

bool isDataFormat(F format) {
    return format == F::csv || format == F::tsv || format == F::json || format == F::srt ||
           format == F::vtt;
}

// CR LF line ends as line feeds, so that Windows text splits into paragraphs at its blank lines.
std::string withLineFeeds(std::string text) {
    if (text.find('\r') == std::string::npos)
        return text;
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

richtext::RichText plainRichText(const std::string& text, double pointSize) {
    richtext::RichText rich;
    richtext::TextAttributes attributes;
    attributes.pointSize = pointSize;
    rich.append(text, attributes);
    return rich;
}

// Publishes `bytes` as `output`, freeing them before the engine's check reads the file back.
template <typename Bytes> void publish(const std::filesystem::path& output, Bytes bytes) {
    PendingOutput pending(output);
    pending.write(bytes);
    Bytes().swap(bytes);
    pending.commit();
}

// Writes `text` as `target`; the rich text is freed as soon as the output's bytes exist.
void writeRichText(richtext::RichText text, const std::filesystem::path& output, F target,
                   std::string_view title, const richtext::RTFWriteOptions& rtfOptions = {}) {
    std::string bytes;
    ArchiveConverter::Bytes package;
    switch (target) {
    case F::html: bytes = richtext::writeHTML(text, title); break;
    case F::rtf: bytes = richtext::writeRTF(text, rtfOptions); break;
    case F::docx: package = richtext::writeDOCX(text); break;
    case F::txt: bytes = text.string(); break;
    case F::markdown: bytes = attributedStringToMarkdown(text); break;
    default: throw ConversionError::unsupportedConversion("Rich Text", displayName(target));
    }
    text = richtext::RichText();
    if (target == F::docx)
        publish(output, std::move(package));
    else
        publish(output, std::move(bytes));
}

[[noreturn]] void noConversionPath(const ConvertRequest& request) {
    const std::string pair = std::string(displayName(request.sourceFormat)) + " \u2192 " +
                             std::string(displayName(request.target));
    ConversionLogger::shared().error("No conversion path", kCategory, pair);
    throw ConversionError::unsupportedConversion(displayName(request.sourceFormat),
                                                 displayName(request.target));
}

// The table of document pairs.
void route(const ConvertRequest& request, const std::filesystem::path& output) {
    const F source = request.sourceFormat;
    const F target = request.target;
    const std::string title = baseNameOf(request.source);
    const bool richSource = source == F::rtf || source == F::docx;
    if (target == F::epub)
        return anyToEPUB(request.source, source, output);
    if (source == F::pdf) {
        switch (target) {
        case F::txt: writeOutputFile(output, extractPDFText(request.source)); return;
        case F::html: return pdfToHTML(request.source, output);
        case F::markdown: return pdfToMarkdown(request.source, output);
        case F::rtf: return markdownToRTF(extractPDFText(request.source), output);
        case F::docx: return plainTextToDOCX(extractPDFText(request.source), output);
        default: noConversionPath(request);
        }
    }
    switch (target) {
    case F::pdf:
        if (source == F::txt)
            return textToPDF(request.source, output);
        if (source == F::markdown)
            return richTextToPDF(richtext::readHTML(markdownPrintPage(request.source)), output);
        if (source == F::rtf)
            return richTextToPDF(readRichText(request.source, source), output);
        if (source == F::docx)
            return docxToPDF(request.source, output, request.stop);
        if (source == F::html)
            return renderHTMLToPDFWithWebKit(request.source, output, request.stop);
        break;
    case F::rtf:
        if (source == F::txt)
            return textToRTF(request.source, output);
        if (source == F::html || richSource)
            return rtfToHTML(request.source, output, source, target);
        if (source == F::markdown)
            return markdownToRTF(readTextFile(request.source), output);
        break;
    case F::txt:
        if (richSource)
            return writeRichText(readRichText(request.source, source), output, F::txt, title);
        if (source == F::html)
            return htmlToText(request.source, output);
        if (source == F::markdown) {
            publish(output, readTextFile(request.source));
            return;
        }
        break;
    case F::html:
        if (richSource)
            return rtfToHTML(request.source, output, source, target);
        if (source == F::txt)
            return textToHTML(request.source, output);
        if (source == F::markdown)
            return markdownToHTML(request.source, output);
        break;
    case F::markdown:
        if (richSource)
            return writeRichText(readRichText(request.source, source), output, F::markdown, title);
        if (source == F::txt) {
            // A byte-for-byte copy; text in ISO-8859-1 is decoded instead, since outputs are UTF-8.
            const std::string bytes = readSourceFile(request.source);
            writeOutputFile(output, isValidUtf8(bytes) ? bytes : richtext::latin1ToUTF8(bytes));
            return;
        }
        if (source == F::html)
            return htmlToMarkdown(request.source, output);
        break;
    case F::docx:
        if (source == F::rtf || source == F::html)
            return rtfToHTML(request.source, output, source, target);
        if (source == F::txt || source == F::markdown)
            return plainTextToDOCX(readTextFile(request.source), output);
        break;
    default: break;
    }
    noConversionPath(request);
}

} // namespace

std::filesystem::path convert(const ConvertRequest& request) {
    auto& log = ConversionLogger::shared();
    log.info("Document: " + std::string(displayName(request.sourceFormat)) + " \u2192 " +
                 std::string(displayName(request.target)),
             std::string(kCategory), request.source.filename().string());
    if (isDataFormat(request.sourceFormat))
        return DataConverter::convert(request);

    if (::access(request.source.c_str(), R_OK) != 0) {
        log.error("File not readable", kCategory, request.source.string());
        throw ConversionError::fileAccessDenied(request.source.filename().string());
    }
    const auto output = OutputNameRegistry::shared().reserve(
        request.outputDir, baseNameOf(request.source), fileExtension(request.target));
    route(request, output);
    std::error_code error;
    if (!std::filesystem::exists(output, error)) {
        log.error("Output file was not created", kCategory);
        throw ConversionError::failedToCreateOutput();
    }
    return output;
}

std::string readTextFile(const std::filesystem::path& file) {
    std::string bytes;
    try {
        bytes = readSourceFile(file);
    } catch (const ConversionError&) {
        throw ConversionError::corruptFile("Could not determine text encoding");
    } catch (const std::filesystem::filesystem_error&) {
        throw ConversionError::corruptFile("Could not determine text encoding");
    } catch (const NotARegularFile&) {
        throw ConversionError::corruptFile("Could not determine text encoding");
    }
    if (isValidUtf8(bytes)) {
        if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
            bytes.erase(0, 3);
        return bytes;
    }
    return richtext::latin1ToUTF8(bytes);
}

void textToHTML(const std::filesystem::path& source, const std::filesystem::path& output) {
    const std::string text = escapeHTML(withLineFeeds(readTextFile(source)));
    // The body goes straight into the page, reserved generously once (as for Markdown).
    std::string body;
    body.reserve(text.size() * 2 + 4096);
    body += kPageHead;
    body += escapeHTML(baseNameOf(source));
    body += kTextHeadTail;
    const std::size_t bodyStart = body.size();
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find("\n\n", start);
        const std::string_view paragraph = std::string_view(text).substr(
            start, end == std::string::npos ? text.npos : end - start);
        if (body.size() > bodyStart)
            body += '\n';
        body += "<p>";
        for (char c : paragraph) {
            if (c == '\n')
                body += "<br>";
            else
                body += c;
        }
        body += "</p>";
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
    body += kPageEnd;
    publish(output, std::move(body));
}

void markdownToHTML(const std::filesystem::path& source, const std::filesystem::path& output) {
    publish(output, markdownPage(source));
}

std::string markdownPage(const std::filesystem::path& source) {
    // The body is rendered straight into the page, reserved generously once (pages never written
    // to cost no memory), so that the page is never copied or regrown.
    const std::string text = withLineFeeds(readTextFile(source));
    std::string out;
    out.reserve(text.size() * 2 + 4096);
    out += kPageHead;
    out += escapeHTML(baseNameOf(source));
    out += kMarkdownHeadTail;
    appendMarkdownBody(text, out);
    out += kPageEnd;
    return out;
}

std::string markdownPrintPage(const std::filesystem::path& source) {
    const std::string body = markdownPrintBody(withLineFeeds(readTextFile(source)));
    std::string out;
    out.reserve(body.size() + 4096);
    out += kPageHead;
    out += escapeHTML(baseNameOf(source));
    out += kMarkdownHeadTail;
    out += body;
    out += kPageEnd;
    return out;
}

richtext::RichText parseHTML(const std::filesystem::path& file) {
    return richtext::readHTML(richtext::decodeHTMLBytes(readSourceFile(file)));
}

void htmlToText(const std::filesystem::path& source, const std::filesystem::path& output) {
    writeRichText(parseHTML(source), output, F::txt, {});
}

void htmlToMarkdown(const std::filesystem::path& source, const std::filesystem::path& output) {
    writeRichText(parseHTML(source), output, F::markdown, {});
}

void textToRTF(const std::filesystem::path& source, const std::filesystem::path& output) {
    writeRichText(plainRichText(readTextFile(source), kRTFTextPointSize), output, F::rtf, {},
                  {.blackForeground = true});
}

void markdownToRTF(const std::string& text, const std::filesystem::path& output) {
    writeRichText(plainRichText(text, kRTFTextPointSize), output, F::rtf, {});
}

void plainTextToDOCX(const std::string& text, const std::filesystem::path& output) {
    writeRichText(plainRichText(text, kDOCXTextPointSize), output, F::docx, {});
}

void rtfToHTML(const std::filesystem::path& source, const std::filesystem::path& output,
               SupportedFormat from, SupportedFormat to) {
    writeRichText(readRichText(source, from), output, to, baseNameOf(source));
}

void textToPDF(const std::filesystem::path& source, const std::filesystem::path& output) {
    richtext::TextAttributes monospace;
    monospace.pointSize = kPDFTextPointSize;
    monospace.monospace = true;
    richtext::RichText text;
    text.append(withLineFeeds(readTextFile(source)), monospace);
    richTextToPDF(text, output);
}

void renderHTMLToPDFWithWebKit(const std::filesystem::path& source,
                               const std::filesystem::path& output, std::stop_token stop) {
    renderHTMLToPDF(readTextFile(source), std::filesystem::absolute(source).parent_path(), output,
                    std::move(stop));
}

void htmlStringToPDF(const std::string& html, const std::filesystem::path& output,
                     std::stop_token stop) {
    renderHTMLToPDF(html, std::nullopt, output, std::move(stop));
}

void docxToPDF(const std::filesystem::path& source, const std::filesystem::path& output,
               std::stop_token stop) {
    std::string html = richtext::writeHTML(readRichText(source, F::docx), baseNameOf(source));
    if (!hasVisibleText(html))
        throw ConversionError::corruptFile(
            "Document produced no readable text \u2014 it may be empty or unsupported");
    // The page is rendered from memory and may read no file: a DOCX names none of its own.
    renderHTMLToPDF(html, std::nullopt, output, std::move(stop));
}

bool hasVisibleText(std::string_view html) {
    const std::string lower = lowerASCII(html);
    // The head's title and style text is not on the page; neither is a script's.
    std::size_t at = 0;
    if (const std::size_t body = findTag(lower, "body", 0); body != std::string::npos)
        at = body;
    while (at < html.size()) {
        if (html[at] == '<') {
            std::size_t end;
            if (lower.compare(at, 4, "<!--") == 0) {
                end = lower.find("-->", at + 4);
                end = end == std::string::npos ? html.size() : end + 3;
            } else {
                end = html.find('>', at);
                end = end == std::string::npos ? html.size() : end + 1;
                for (const std::string_view hidden : {"script", "style", "title", "template"}) {
                    if (lower.compare(at + 1, hidden.size(), hidden) == 0 &&
                        !std::isalnum(static_cast<unsigned char>(
                            at + 1 + hidden.size() < lower.size() ? lower[at + 1 + hidden.size()]
                                                                  : ' '))) {
                        const std::size_t close = lower.find("</" + std::string(hidden), end);
                        end = close == std::string::npos ? html.size() : close;
                        break;
                    }
                }
            }
            at = end;
            continue;
        }
        const std::size_t blank = blankLength(html, at);
        if (blank == 0)
            return true;
        at += blank;
    }
    return false;
}

richtext::RichText readRichText(const std::filesystem::path& source, SupportedFormat format) {
    switch (format) {
    case F::rtf: return richtext::readRTF(readSourceFile(source));
    case F::docx: {
        const auto bytes = readSourceBytes(source);
        return richtext::readDOCX(bytes);
    }
    case F::html: return parseHTML(source);
    default: throw ConversionError::unsupportedConversion(displayName(format), "Rich Text");
    }
}

} // namespace kv::DocumentConverter
