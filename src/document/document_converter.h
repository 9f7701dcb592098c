// Converts documents; tables and subtitles are handed to the data converter.
#pragma once

#include "document/richtext/rich_text.h"
#include "engine/convert_request.h"
#include "formats/supported_format.h"

#include <filesystem>
#include <stop_token>
#include <string>

namespace kv::DocumentConverter {

/// Every document, data and subtitle pair except the PDF split: reserves the output name and
/// routes the pair; returns the output written.
std::filesystem::path convert(const ConvertRequest& request);
/// One PDF per page in a new folder "name (pages)": page_001.pdf, page_002.pdf, … Any page
/// that cannot be written fails the split and leaves no folder. (Media module.)
std::filesystem::path splitPDF(const ConvertRequest& request);

/// The file as UTF-8 text: kept when valid UTF-8 (a leading byte-order mark dropped), else read as
/// ISO-8859-1. Line ends are kept. Unreadable: corruptFile("Could not determine text encoding").
std::string readTextFile(const std::filesystem::path& file);

/// The fixed page of a plain-text file: escaped paragraphs split at blank lines, "<br>" lines.
void textToHTML(const std::filesystem::path& source, const std::filesystem::path& output);
/// The fixed page of a Markdown file rendered by the regular-expression steps.
void markdownToHTML(const std::filesystem::path& source, const std::filesystem::path& output);
/// That page as text.
std::string markdownPage(const std::filesystem::path& source);
// The same page for print: links and fenced code kept for the PDF renderer.
std::string markdownPrintPage(const std::filesystem::path& source);

/// An HTML file as rich text (charset from a byte-order mark or meta element, else UTF-8, else
/// ISO-8859-1).
richtext::RichText parseHTML(const std::filesystem::path& file);
void htmlToText(const std::filesystem::path& source, const std::filesystem::path& output);
void htmlToMarkdown(const std::filesystem::path& source, const std::filesystem::path& output);

/// A plain-text file as RTF in 14-point type, coloured black.
void textToRTF(const std::filesystem::path& source, const std::filesystem::path& output);
/// `text` as RTF in 14-point type (Markdown marks are kept as text).
void markdownToRTF(const std::string& text, const std::filesystem::path& output);
/// `text` as a DOCX package in 12-point type.
void plainTextToDOCX(const std::string& text, const std::filesystem::path& output);
/// Rich text read as `from` (rtf, docx or html) and exported as `to` (html, rtf or docx).
void rtfToHTML(const std::filesystem::path& source, const std::filesystem::path& output,
               SupportedFormat from, SupportedFormat to);

/// An HTML file on PDF pages; its pictures and style sheets come from its own folder only.
void renderHTMLToPDFWithWebKit(const std::filesystem::path& source,
                               const std::filesystem::path& output, std::stop_token stop = {});
/// An HTML page held in memory on PDF pages; it may load no files.
void htmlStringToPDF(const std::string& html, const std::filesystem::path& output,
                     std::stop_token stop = {});

/// A DOCX exported as HTML by the rich-text engine and rendered on PDF pages. Without visible
/// text: corruptFile("Document produced no readable text — it may be empty or unsupported").
void docxToPDF(const std::filesystem::path& source, const std::filesystem::path& output,
               std::stop_token stop = {});
/// Whether an HTML page shows any text: what its body holds outside tags, comments, scripts and
/// style sheets, trimmed of white space (no-break spaces included).
bool hasVisibleText(std::string_view html);

/// A text file on Letter pages in 12-point monospace.
void textToPDF(const std::filesystem::path& source, const std::filesystem::path& output);

/// A rich-text source (rtf, docx or html) read into the model.
richtext::RichText readRichText(const std::filesystem::path& source, SupportedFormat format);

} // namespace kv::DocumentConverter
