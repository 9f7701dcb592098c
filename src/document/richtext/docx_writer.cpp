// DOCX writer.
#include "document/richtext/docx_writer.h"

#include "archive/zip_writer.h"
#include "document/richtext/docx_format.h"
#include "document/richtext/paragraphs.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace kv::richtext {
namespace {

constexpr std::string_view kDefaultFamily = "Helvetica";
constexpr std::string_view kMonospaceFamily = "Courier New";
constexpr std::string_view kXmlDeclaration =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

// XML 1.0 text: the five special characters escaped, control characters other than tab, line feed
// and carriage return dropped (XML cannot carry them at all).
void appendXml(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r')
                out += c;
        }
    }
}

std::string xml(std::string_view text) {
    std::string out;
    appendXml(out, text);
    return out;
}

long halfPoints(double points) {
    return std::clamp<long>(std::lround(points * 2), 2, 3276);
}

std::string fonts(std::string_view family) {
    const std::string f = xml(family);
    return "<w:rFonts w:ascii=\"" + f + "\" w:hAnsi=\"" + f + "\" w:eastAsia=\"" + f +
           "\" w:cs=\"" + f + "\"/>";
}

std::string styles(double body) {
    const std::string size = std::to_string(halfPoints(body));
    std::string out(kXmlDeclaration);
    out += "<w:styles xmlns:w=\"" + std::string(docx::kWordNamespace) + "\">";
    out += "<w:docDefaults><w:rPrDefault><w:rPr>" + fonts(kDefaultFamily) + "<w:sz w:val=\"" +
           size + "\"/><w:szCs w:val=\"" + size +
           "\"/></w:rPr></w:rPrDefault><w:pPrDefault><w:pPr><w:spacing "
           "w:after=\"120\"/></w:pPr></w:pPrDefault>"
           "</w:docDefaults>";
    out += "<w:style w:type=\"paragraph\" w:default=\"1\" w:styleId=\"Normal\"><w:name "
           "w:val=\"Normal\"/><w:qFormat/>"
           "</w:style>";
    for (int level = 1; level <= 3; ++level) {
        const std::string n = std::to_string(level);
        const std::string headingSize =
            std::to_string(halfPoints(kHeadingPointSizes[static_cast<std::size_t>(level - 1)]));
        out += "<w:style w:type=\"paragraph\" w:styleId=\"Heading" + n +
               "\"><w:name w:val=\"heading " + n +
               "\"/><w:basedOn w:val=\"Normal\"/><w:next "
               "w:val=\"Normal\"/><w:qFormat/><w:pPr><w:keepNext/>"
               "<w:spacing w:before=\"240\" w:after=\"120\"/><w:outlineLvl w:val=\"" +
               std::to_string(level - 1) + "\"/></w:pPr><w:rPr><w:b/><w:sz w:val=\"" + headingSize +
               "\"/><w:szCs w:val=\"" + headingSize + "\"/></w:rPr></w:style>";
    }
    out += "<w:style w:type=\"character\" w:default=\"1\" w:styleId=\"DefaultParagraphFont\">"
           "<w:name w:val=\"Default Paragraph Font\"/><w:uiPriority "
           "w:val=\"1\"/><w:semiHidden/></w:style>";
    out +=
        "<w:style w:type=\"character\" w:styleId=\"VerbatimChar\"><w:name w:val=\"Verbatim Char\"/>"
        "<w:basedOn w:val=\"DefaultParagraphFont\"/><w:rPr>" +
        fonts(kMonospaceFamily) + "</w:rPr></w:style>";
    out += "<w:style w:type=\"character\" w:styleId=\"Hyperlink\"><w:name w:val=\"Hyperlink\"/>"
           "<w:basedOn w:val=\"DefaultParagraphFont\"/><w:rPr><w:color w:val=\"0563C1\"/><w:u "
           "w:val=\"single\"/>"
           "</w:rPr></w:style>";
    out += "</w:styles>";
    return out;
}

class Relationships {
  public:
    // rId1 is the style sheet; links count up from rId2, one per distinct target.
    std::string idFor(const std::string& target) {
        const auto found = m_ids.find(target);
        if (found != m_ids.end())
            return found->second;
        const std::string id = "rId" + std::to_string(m_targets.size() + 2);
        m_targets.push_back(target);
        return m_ids[target] = id;
    }
    std::string part() const {
        std::string out(kXmlDeclaration);
        out += "<Relationships "
               "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
        out += "<Relationship Id=\"rId1\" Type=\"" + std::string(docx::kStylesRel) +
               "\" Target=\"styles.xml\"/>";
        for (std::size_t i = 0; i < m_targets.size(); ++i) {
            out += "<Relationship Id=\"rId" + std::to_string(i + 2) + "\" Type=\"" +
                   std::string(docx::kHyperlinkRel) + "\" Target=\"" + xml(m_targets[i]) +
                   "\" TargetMode=\"External\"/>";
        }
        return out + "</Relationships>";
    }

  private:
    std::vector<std::string> m_targets;
    std::map<std::string, std::string> m_ids;
};

void appendRun(std::string& out, std::string_view characters, const TextAttributes& a,
               double paragraphSize, bool paragraphBold) {
    out += "<w:r>";
    std::string properties;
    if (a.monospace)
        properties += "<w:rStyle w:val=\"VerbatimChar\"/>";
    else if (!a.link.empty())
        properties += "<w:rStyle w:val=\"Hyperlink\"/>";
    if (!a.family.empty())
        properties += fonts(a.family);
    else if (a.monospace)
        properties += fonts(kMonospaceFamily);
    if (a.bold != paragraphBold)
        properties += a.bold ? "<w:b/>" : "<w:b w:val=\"0\"/>";
    if (a.italic)
        properties += "<w:i/>";
    if (halfPoints(a.pointSize) != halfPoints(paragraphSize)) {
        const std::string size = std::to_string(halfPoints(a.pointSize));
        properties += "<w:sz w:val=\"" + size + "\"/><w:szCs w:val=\"" + size + "\"/>";
    }
    if (!properties.empty())
        out += "<w:rPr>" + properties + "</w:rPr>";
    // Tabs are elements of their own; the text between them goes into w:t.
    std::size_t p = 0;
    while (p <= characters.size()) {
        const std::size_t tab = characters.find('\t', p);
        const std::string_view piece =
            characters.substr(p, tab == std::string_view::npos ? std::string_view::npos : tab - p);
        if (!piece.empty()) {
            out += "<w:t xml:space=\"preserve\">";
            appendXml(out, piece);
            out += "</w:t>";
        }
        if (tab == std::string_view::npos)
            break;
        out += "<w:tab/>";
        p = tab + 1;
    }
    out += "</w:r>";
}

} // namespace

ArchiveConverter::Bytes writeDOCX(const RichText& text) {
    const double body = bodyPointSize(text);
    Relationships relationships;
    std::string document(kXmlDeclaration);
    document.reserve(text.length() * 3 + 1024);
    document += "<w:document xmlns:w=\"" + std::string(docx::kWordNamespace) + "\" xmlns:r=\"" +
                std::string(docx::kRelationshipsNamespace) + "\"><w:body>";

    forEachParagraph(text, [&](std::size_t start, std::size_t length) {
        const TextRun* first = text.runAt(start);
        const int level =
            length > 0 && first != nullptr ? headingLevel(first->attributes, body) : 0;
        document += "<w:p>";
        double paragraphSize = body;
        bool paragraphBold = false;
        if (level > 0) {
            document += "<w:pPr><w:pStyle w:val=\"Heading" + std::to_string(level) + "\"/></w:pPr>";
            paragraphSize = kHeadingPointSizes[static_cast<std::size_t>(level - 1)];
            paragraphBold = true;
        }
        const auto runs = text.runsIn(start, length);
        for (std::size_t i = 0; i < runs.size();) {
            const std::string& link = runs[i].attributes.link;
            if (!link.empty()) {
                if (link.front() == '#') {
                    document += "<w:hyperlink w:anchor=\"" + xml(link.substr(1)) + "\">";
                } else {
                    document += "<w:hyperlink r:id=\"" + relationships.idFor(link) + "\">";
                }
            }
            for (; i < runs.size() && runs[i].attributes.link == link; ++i) {
                const std::string_view characters =
                    std::string_view(text.string()).substr(runs[i].start, runs[i].length);
                appendRun(document, characters, runs[i].attributes, paragraphSize, paragraphBold);
            }
            if (!link.empty())
                document += "</w:hyperlink>";
        }
        document += "</w:p>";
    });
    document +=
        "<w:sectPr><w:pgSz w:w=\"12240\" w:h=\"15840\"/><w:pgMar w:top=\"1440\" w:right=\"1440\" "
        "w:bottom=\"1440\" w:left=\"1440\" w:header=\"720\" w:footer=\"720\" "
        "w:gutter=\"0\"/></w:sectPr>"
        "</w:body></w:document>";

    std::string contentTypes(kXmlDeclaration);
    contentTypes += "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
                    "<Default Extension=\"rels\" "
                    "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
                    "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
                    "<Override PartName=\"/word/document.xml\" "
                    "ContentType=\"application/"
                    "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/>"
                    "<Override PartName=\"/word/styles.xml\" "
                    "ContentType=\"application/"
                    "vnd.openxmlformats-officedocument.wordprocessingml.styles+xml\"/></Types>";
    std::string packageRels(kXmlDeclaration);
    packageRels +=
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" Type=\"" +
        std::string(docx::kOfficeDocumentRel) + "\" Target=\"word/document.xml\"/></Relationships>";

    const auto entry = [](std::string_view name, std::string data) {
        return ArchiveConverter::ZipEntry{.name = std::string(name),
                                          .data = std::move(data),
                                          .method = ArchiveConverter::ZipMethod::deflated,
                                          .modified = std::nullopt};
    };
    // Moved in one by one: a braced list would copy every part, the document included.
    std::vector<ArchiveConverter::ZipEntry> entries;
    entries.reserve(5);
    entries.push_back(entry(docx::kContentTypesPart, std::move(contentTypes)));
    entries.push_back(entry(docx::kPackageRelsPart, std::move(packageRels)));
    entries.push_back(entry(docx::kDocumentPart, std::move(document)));
    entries.push_back(entry(docx::kDocumentRelsPart, relationships.part()));
    entries.push_back(entry(docx::kStylesPart, styles(body)));
    return ArchiveConverter::buildZIP(entries);
}

} // namespace kv::richtext
