// Part names, relationship types and limits shared by the DOCX reader and writer.
#pragma once

#include <cstddef>
#include <string_view>

namespace kv::richtext::docx {

constexpr std::string_view kContentTypesPart = "[Content_Types].xml";
constexpr std::string_view kPackageRelsPart = "_rels/.rels";
constexpr std::string_view kDocumentPart = "word/document.xml";
constexpr std::string_view kDocumentRelsPart = "word/_rels/document.xml.rels";
constexpr std::string_view kStylesPart = "word/styles.xml";

constexpr std::string_view kOfficeDocumentRel =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument";
constexpr std::string_view kStylesRel =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles";
constexpr std::string_view kHyperlinkRel =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/hyperlink";
constexpr std::string_view kWordNamespace =
    "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
constexpr std::string_view kRelationshipsNamespace =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";

/// Element nesting the reader follows (tables in tables, content controls); Word stays far below.
constexpr std::size_t kMaxElementDepth = 256;
/// basedOn hops followed before a style chain counts as a loop.
constexpr std::size_t kMaxStyleChain = 64;
/// Grid columns a merged cell may reach (Word allows 63): a larger w:gridSpan is cut there, so a
/// few bytes cannot ask a renderer for a grid of millions of cells.
constexpr std::size_t kMaxGridColumns = 64;
/// Width of the text on a Letter page with 1-inch margins, in twentieths of a point: the
/// width a table's absolute widths are measured against.
constexpr double kTextWidthTwips = 9360;
/// Word's default left plus right cell margins (0.075 inch each), in twentieths of a point.
constexpr double kCellMarginsTwips = 216;
/// Tables inside tables kept as tables; deeper ones stay text of their cell.
constexpr std::size_t kMaxNestedTables = 8;

} // namespace kv::richtext::docx
