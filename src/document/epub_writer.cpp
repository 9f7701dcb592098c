// EPUB 3 writer: one XHTML chapter, the package files, and a ZIP whose first entry is the stored
// mimetype.
#include "document/epub_writer.h"

#include "archive/zip_writer.h"
#include "base/uuid.h"
#include "document/document_converter.h"
#include "document/markdown.h"
#include "document/pdf/pdf_conversions.h"
#include "document/richtext/html_writer.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "engine/output_file.h"
#include "engine/output_name_registry.h"

#include <ctime>
#include <functional>
#include <gumbo.h>
#include <memory>
#include <regex>
#include <set>

namespace kv::DocumentConverter {
namespace {

using F = SupportedFormat;

constexpr std::string_view kXHTMLNamespace = "http://www.w3.org/1999/xhtml";
constexpr std::string_view kSVGNamespace = "http://www.w3.org/2000/svg";
constexpr std::string_view kMathMLNamespace = "http://www.w3.org/1998/Math/MathML";

constexpr std::string_view kContainer =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<container version=\"1.0\" "
    "xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">\n  <rootfiles>\n    <rootfile "
    "full-path=\"OEBPS/content.opf\" media-type=\"application/oebps-package+xml\"/>\n  "
    "</rootfiles>\n</container>";

// Appends `text` escaped, without the code points XML 1.0 forbids (controls other than tab, line
// feed and carriage return; U+FFFE and U+FFFF). The text is valid UTF-8 (gumbo's output).
void appendXMLText(std::string& out, std::string_view text, bool attribute) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            continue;
        if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
            (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
            i += 2;
            continue;
        }
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"':
            if (attribute)
                out += "&quot;";
            else
                out += '"';
            break;
        case '\r': out += "&#13;"; break;
        default: out += static_cast<char>(c);
        }
    }
}

// "&", "<", ">" and the double quote as entities, without XML's forbidden characters (a file name,
// and so a title, may hold control characters).
std::string escapeXML(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 16);
    appendXMLText(out, text, true);
    return out;
}

// The text without the C0 controls XML forbids (PDF text carries form feeds).
void appendAllowedCharacters(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 || c == '\t' || c == '\n' || c == '\r')
            out += c;
    }
}

bool isXMLName(std::string_view name) {
    if (name.empty())
        return false;
    const auto startChar = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    };
    if (!startChar(name[0]))
        return false;
    for (char c : name) {
        if (!startChar(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.')
            return false;
    }
    return true;
}

bool isVoid(GumboTag tag) {
    switch (tag) {
    case GUMBO_TAG_AREA:
    case GUMBO_TAG_BASE:
    case GUMBO_TAG_BR:
    case GUMBO_TAG_COL:
    case GUMBO_TAG_EMBED:
    case GUMBO_TAG_HR:
    case GUMBO_TAG_IMG:
    case GUMBO_TAG_INPUT:
    case GUMBO_TAG_LINK:
    case GUMBO_TAG_META:
    case GUMBO_TAG_PARAM:
    case GUMBO_TAG_SOURCE:
    case GUMBO_TAG_TRACK:
    case GUMBO_TAG_WBR: return true;
    default: return false;
    }
}

// Elements a one-file book cannot carry: scripts (the package declares none) and head-only
// elements that an HTML parser may leave in the body.
bool isDropped(GumboTag tag) {
    switch (tag) {
    case GUMBO_TAG_SCRIPT:
    case GUMBO_TAG_NOSCRIPT:
    case GUMBO_TAG_TEMPLATE:
    case GUMBO_TAG_BASE:
    case GUMBO_TAG_LINK:
    case GUMBO_TAG_META:
    case GUMBO_TAG_TITLE: return true;
    default: return false;
    }
}

std::string tagName(const GumboElement& element) {
    if (element.tag != GUMBO_TAG_UNKNOWN) {
        if (element.tag_namespace == GUMBO_NAMESPACE_SVG) {
            GumboStringPiece original = element.original_tag;
            gumbo_tag_from_original_text(&original);
            if (const char* fixed = gumbo_normalize_svg_tagname(&original))
                return fixed;
        }
        return gumbo_normalized_tagname(element.tag);
    }
    GumboStringPiece original = element.original_tag;
    gumbo_tag_from_original_text(&original);
    std::string name(original.data == nullptr ? "" : std::string(original.data, original.length));
    if (element.tag_namespace == GUMBO_NAMESPACE_HTML) {
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return name;
}

// A reference the book can resolve: an in-chapter anchor that exists, a data URL, or (links only)
// a web or mail address. Other files are not packed into the book.
bool keepsReference(std::string_view value, bool link, const std::set<std::string>& ids) {
    if (!value.empty() && value[0] == '#')
        return ids.count(std::string(value.substr(1))) > 0;
    if (value.starts_with("data:"))
        return true;
    return link && (value.starts_with("http://") || value.starts_with("https://") ||
                    value.starts_with("mailto:"));
}

class XHTMLSerialiser {
  public:
    explicit XHTMLSerialiser(const GumboNode* root) { collectIds(root); }

    void children(const GumboNode* node) {
        const GumboVector& kids = node->v.element.children;
        for (unsigned i = 0; i < kids.length; ++i)
            write(static_cast<const GumboNode*>(kids.data[i]));
    }

    std::string markup;
    std::string styles;

  private:
    void collectIds(const GumboNode* node) {
        if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_TEMPLATE)
            return;
        if (const GumboAttribute* id = gumbo_get_attribute(&node->v.element.attributes, "id"))
            m_ids.insert(id->value);
        const GumboVector& kids = node->v.element.children;
        for (unsigned i = 0; i < kids.length; ++i)
            collectIds(static_cast<const GumboNode*>(kids.data[i]));
    }

    void write(const GumboNode* node) {
        switch (node->type) {
        case GUMBO_NODE_TEXT:
        case GUMBO_NODE_WHITESPACE:
        case GUMBO_NODE_CDATA: appendXMLText(markup, node->v.text.text, false); return;
        case GUMBO_NODE_ELEMENT: element(node); return;
        default: return; // comments, templates
        }
    }

    void element(const GumboNode* node) {
        const GumboElement& e = node->v.element;
        if (isDropped(e.tag))
            return;
        if (e.tag == GUMBO_TAG_STYLE) {
            // Style sheets belong in the head of an XHTML page.
            const GumboVector& kids = e.children;
            for (unsigned i = 0; i < kids.length; ++i) {
                const auto* kid = static_cast<const GumboNode*>(kids.data[i]);
                if (kid->type == GUMBO_NODE_TEXT || kid->type == GUMBO_NODE_WHITESPACE)
                    appendXMLText(styles, kid->v.text.text, false);
            }
            styles += '\n';
            return;
        }
        if (e.tag == GUMBO_TAG_IMG) {
            const GumboAttribute* src = gumbo_get_attribute(&e.attributes, "src");
            if (src == nullptr || !keepsReference(src->value, false, m_ids)) {
                // The picture is not in the book: its alternative text stands in for it.
                if (const GumboAttribute* alt = gumbo_get_attribute(&e.attributes, "alt"))
                    appendXMLText(markup, alt->value, false);
                return;
            }
        }
        const std::string name = tagName(e);
        if (!isXMLName(name)) {
            children(node); // an unnamable element: keep its content
            return;
        }
        markup += '<';
        markup += name;
        if (e.tag == GUMBO_TAG_SVG && e.tag_namespace == GUMBO_NAMESPACE_SVG) {
            markup += " xmlns=\"" + std::string(kSVGNamespace) + "\"";
            markup += " xmlns:xlink=\"http://www.w3.org/1999/xlink\"";
        } else if (e.tag == GUMBO_TAG_MATH && e.tag_namespace == GUMBO_NAMESPACE_MATHML) {
            markup += " xmlns=\"" + std::string(kMathMLNamespace) + "\"";
        }
        attributes(e);
        if (isVoid(e.tag) && e.tag_namespace == GUMBO_NAMESPACE_HTML) {
            markup += "/>";
            return;
        }
        markup += '>';
        children(node);
        markup += "</";
        markup += name;
        markup += '>';
    }

    void attributes(const GumboElement& e) {
        for (unsigned i = 0; i < e.attributes.length; ++i) {
            const auto* attribute = static_cast<const GumboAttribute*>(e.attributes.data[i]);
            std::string name = attribute->name;
            if (attribute->attr_namespace == GUMBO_ATTR_NAMESPACE_XLINK)
                name = "xlink:" + name;
            else if (!isXMLName(name) || name == "xmlns")
                continue;
            // Event handlers are scripts, which the book does not carry.
            if (name.size() > 2 && name.starts_with("on"))
                continue;
            const bool reference = name == "href" || name == "src" || name == "xlink:href";
            if (reference && !keepsReference(attribute->value, name != "src", m_ids))
                continue;
            markup += ' ';
            markup += name;
            markup += "=\"";
            appendXMLText(markup, attribute->value, true);
            markup += '"';
        }
    }

    std::set<std::string> m_ids;
};

const GumboNode* findBody(const GumboNode* root) {
    const GumboVector& kids = root->v.element.children;
    for (unsigned i = 0; i < kids.length; ++i) {
        const auto* kid = static_cast<const GumboNode*>(kids.data[i]);
        if (kid->type == GUMBO_NODE_ELEMENT && kid->v.element.tag == GUMBO_TAG_BODY)
            return kid;
    }
    return nullptr;
}

// The body of an HTML page: the text between the first "<body…>" and the last "</body>", or the
// whole text when either is missing.
std::string_view bodyText(std::string_view html) {
    static const std::regex kBodyOpen("<body[^>]*>");
    std::match_results<std::string_view::const_iterator> match;
    if (!std::regex_search(html.begin(), html.end(), match, kBodyOpen))
        return html;
    const std::size_t start = static_cast<std::size_t>(match.position(0) + match.length(0));
    const std::size_t end = html.rfind("</body>");
    if (end == std::string_view::npos || end < start)
        return html;
    return html.substr(start, end - start);
}

// A pre-formatted page of plain text.
std::string preformattedPage(std::string_view title, std::string_view text) {
    return "<html><head><meta charset=\"utf-8\"/><title>" + escapeHTML(title) +
           "</title></head><body><pre>" + escapeHTML(text) + "</pre></body></html>";
}

std::string bookHTML(const std::filesystem::path& source, F format, std::string_view title) {
    switch (format) {
    case F::pdf: return preformattedPage(title, extractPDFText(source));
    case F::txt: return preformattedPage(title, readTextFile(source));
    case F::html: return readTextFile(source);
    case F::markdown: return markdownPage(source);
    case F::rtf:
    case F::docx: return richtext::writeHTML(readRichText(source, format), title);
    default: throw ConversionError::unsupportedConversion(displayName(format), "EPUB");
    }
}

std::string modificationTime() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string packageDocument(std::string_view title) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<package "
           "xmlns=\"http://www.idpf.org/2007/opf\" version=\"3.0\" "
           "unique-identifier=\"bookid\">\n  <metadata "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n    <dc:identifier "
           "id=\"bookid\">urn:uuid:" +
           Uuid::random().toString() + "</dc:identifier>\n    <dc:title>" + escapeXML(title) +
           "</dc:title>\n    <dc:language>en</dc:language>\n    <meta "
           "property=\"dcterms:modified\">" +
           modificationTime() +
           "</meta>\n  </metadata>\n  <manifest>\n    <item id=\"nav\" href=\"nav.xhtml\" "
           "media-type=\"application/xhtml+xml\" properties=\"nav\"/>\n    <item id=\"chap1\" "
           "href=\"chapter1.xhtml\" media-type=\"application/xhtml+xml\"/>\n  </manifest>\n  "
           "<spine>\n    <itemref idref=\"chap1\"/>\n  </spine>\n</package>";
}

std::string navigationDocument(std::string_view title) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE html>\n<html xmlns=\"" +
           std::string(kXHTMLNamespace) +
           "\" xmlns:epub=\"http://www.idpf.org/2007/ops\">\n<head><title>Navigation</title></"
           "head>\n<body>\n  <nav epub:type=\"toc\"><ol><li><a href=\"chapter1.xhtml\">" +
           escapeXML(title) + "</a></li></ol></nav>\n</body>\n</html>";
}

} // namespace

std::string wrapAsXHTML(std::string_view html, std::string_view title) {
    // Parsed as HTML and written back as XML: void elements closed, entities decoded, tags
    // balanced, so that reading systems that parse strictly accept the chapter.
    // The doctype keeps the parser out of quirks mode (where a table stays inside a paragraph).
    std::string text = "<!DOCTYPE html>";
    appendAllowedCharacters(text, bodyText(html));
    std::unique_ptr<GumboOutput, std::function<void(GumboOutput*)>> output(
        gumbo_parse_with_options(&kGumboDefaultOptions, text.data(), text.size()),
        [](GumboOutput* o) { gumbo_destroy_output(&kGumboDefaultOptions, o); });
    XHTMLSerialiser serialiser(output->root);
    if (const GumboNode* body = findBody(output->root))
        serialiser.children(body);
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE html>\n<html xmlns=\"";
    out += kXHTMLNamespace;
    out += "\">\n<head><title>" + escapeXML(title) + "</title><meta charset=\"utf-8\"/>";
    if (!serialiser.styles.empty())
        out += "<style>" + serialiser.styles + "</style>";
    out += "</head>\n<body>\n";
    out += serialiser.markup;
    out += "\n</body>\n</html>";
    return out;
}

void anyToEPUB(const std::filesystem::path& source, SupportedFormat sourceFormat,
               const std::filesystem::path& output) {
    ConversionLogger::shared().info("Building EPUB", "Document", output.filename().string());
    const std::string title = baseNameOf(source);
    const std::string html = bookHTML(source, sourceFormat, title);

    using ArchiveConverter::ZipEntry;
    using ArchiveConverter::ZipMethod;
    // Reading systems find the book's type in the first entry, stored and without extra fields.
    const auto entry = [](std::string name, std::string data, ZipMethod method) {
        return ZipEntry{
            .name = std::move(name), .data = std::move(data), .method = method, .modified = {}};
    };
    const std::vector<ZipEntry> entries{
        entry("mimetype", "application/epub+zip", ZipMethod::stored),
        entry("META-INF/", "", ZipMethod::stored),
        entry("OEBPS/", "", ZipMethod::stored),
        entry("META-INF/container.xml", std::string(kContainer), ZipMethod::deflated),
        entry("OEBPS/content.opf", packageDocument(title), ZipMethod::deflated),
        entry("OEBPS/nav.xhtml", navigationDocument(title), ZipMethod::deflated),
        entry("OEBPS/chapter1.xhtml", wrapAsXHTML(html, title), ZipMethod::deflated),
    };
    writeOutputFile(output, ArchiveConverter::buildZIP(entries));
}

} // namespace kv::DocumentConverter
