// HTML reader over gumbo.
#include "document/richtext/html_reader.h"

#include "base/ascii_case.h"
#include "base/utf8.h"
#include "data/text_decoding.h"
#include "document/richtext/text_encoding.h"
#include "engine/conversion_error.h"

#include <algorithm>
#include <cstdlib>
#include <gumbo.h>
#include <optional>
#include <vector>

namespace kv::richtext {
namespace {

constexpr std::size_t kCharsetScanBytes = 4096; // a meta charset must sit this early to count
constexpr double kPixelsToPoints = 0.75;
constexpr std::size_t kMaxNestingDepth = 1024; // open elements at once; browsers flatten past 512
constexpr std::size_t kMaxRepeatedHead = 64 * 1024; // doctype and body tag before each piece
constexpr std::size_t kPieceBytes = 256 * 1024;     // source parsed at once (its tree takes ~7×)
// <font size="1"> … "7" in CSS pixels, as browsers map them.
constexpr double kFontSizePixels[] = {10, 13, 16, 18, 24, 32, 48};

bool isHTMLSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isHTMLSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isHTMLSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

std::optional<std::string> declaredCharset(std::string_view bytes) {
    const std::string head = lowerASCII(bytes.substr(0, kCharsetScanBytes));
    for (std::size_t meta = head.find("<meta"); meta != std::string::npos;
         meta = head.find("<meta", meta + 5)) {
        const std::size_t close = head.find('>', meta);
        const std::string_view tag = std::string_view(head).substr(
            meta, close == std::string::npos ? head.npos : close - meta);
        std::size_t at = tag.find("charset");
        if (at == std::string_view::npos)
            continue;
        at += 7;
        while (at < tag.size() && isHTMLSpace(tag[at]))
            ++at;
        if (at >= tag.size() || tag[at] != '=')
            continue;
        ++at;
        while (at < tag.size() && (isHTMLSpace(tag[at]) || tag[at] == '"' || tag[at] == '\''))
            ++at;
        std::size_t end = at;
        while (end < tag.size() &&
               (std::isalnum(static_cast<unsigned char>(tag[end])) || tag[end] == '-' ||
                tag[end] == '_' || tag[end] == ':' || tag[end] == '.'))
            ++end;
        if (end > at)
            return std::string(tag.substr(at, end - at));
    }
    return std::nullopt;
}

// Tags that never stay open (void elements) or that the parser closes by itself before opening
// another (p, li, table rows and cells): they do not add to the nesting depth.
bool addsNoDepth(std::string_view name) {
    static constexpr std::string_view kNames[] = {
        "area", "base",  "br",     "col",    "embed",    "hr",    "img",      "input",   "link",
        "meta", "param", "source", "track",  "wbr",      "p",     "li",       "dt",      "dd",
        "tr",   "td",    "th",     "option", "optgroup", "thead", "tbody",    "tfoot",   "colgroup",
        "rp",   "rt",    "html",   "head",   "body",     "frame", "basefont", "bgsound", "keygen"};
    return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

// Tags that close an open paragraph in every parsing mode: a piece of the body may begin at one.
bool startsPiece(std::string_view name) {
    static constexpr std::string_view kNames[] = {
        "p",      "h1",  "h2",    "h3",   "h4",     "h5",         "h6",      "div",
        "ul",     "ol",  "dl",    "pre",  "hr",     "section",    "article", "header",
        "footer", "nav", "aside", "main", "figure", "blockquote", "address", "center"};
    return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

bool isTagNameEnd(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == '/' || c == '>';
}

// The ">" that ends a tag whose name ends at `i`: one inside a quoted attribute value does not.
std::size_t tagEnd(std::string_view html, std::size_t i) {
    while (i < html.size()) {
        const char c = html[i];
        if (c == '>')
            return i;
        ++i;
        if (c != '=')
            continue;
        while (i < html.size() && (html[i] == ' ' || html[i] == '\t' || html[i] == '\n' ||
                                   html[i] == '\f' || html[i] == '\r'))
            ++i;
        if (i < html.size() && (html[i] == '"' || html[i] == '\'')) {
            const std::size_t quote = html.find(html[i], i + 1);
            if (quote == std::string_view::npos)
                return std::string_view::npos;
            i = quote + 1;
        }
    }
    return std::string_view::npos;
}

// What one pass over the tags finds out before parsing.
struct TagScan {
    // Offsets where a piece of the body may begin, about kPieceBytes apart.
    std::vector<std::size_t> cuts;
    // The document's doctype and body start tag, as written (empty when absent): every later
    // piece starts with them, so that it parses in the same mode and keeps the body's style.
    std::string_view doctype;
    std::string_view bodyTag;
    // Tags seen: a run or two each (the text after it, a space), to reserve the runs once.
    std::size_t tags = 0;
};

// Refuses documents nested too deep: the HTML parser's cost grows with the square of the depth
// (every start tag searches the stack of open elements), so a small file of 100,000 unclosed tags
// would keep it busy for minutes. Also finds where the document can be cut into pieces that parse
// alone as they do in the whole: before a tag that closes any open paragraph, while no other
// element than html and body is open, so that no formatting or list carries across the cut.
TagScan scanTags(std::string_view html, std::size_t pieceBytes) {
    TagScan scan;
    std::size_t depth = 0;
    std::vector<std::string> open; // elements the parser keeps open (not p, li, cells, voids)
    std::size_t lastCut = 0;
    bool misnested = false;
    // Until the first text or tag other than a comment: only there does a doctype set the mode.
    bool initial = true;
    std::size_t markupEnd = 0;
    std::size_t p = 0;
    while ((p = html.find('<', p)) != std::string_view::npos) {
        const std::size_t tagStart = p++;
        if (initial &&
            html.substr(markupEnd, tagStart - markupEnd).find_first_not_of(" \t\n\f\r") !=
                std::string_view::npos)
            initial = false;
        if (html.substr(p, 3) == "!--") {
            // "<!-->" and "<!--->" are whole comments; others end at "-->" or "--!>".
            const std::size_t body = p + 3;
            if (html.substr(body, 1) == ">" || html.substr(body, 2) == "->") {
                p = html.find('>', body) + 1;
                continue;
            }
            const std::size_t end = std::min(html.find("-->", body), html.find("--!>", body));
            if (end == std::string_view::npos)
                return scan;
            p = html.find('>', end) + 1;
            markupEnd = p;
            continue;
        }
        if (initial && lowerASCII(html.substr(p, 8)) == "!doctype") {
            const std::size_t close = html.find('>', p);
            if (close == std::string_view::npos)
                return scan;
            scan.doctype = html.substr(tagStart, close + 1 - tagStart);
            p = close + 1;
            initial = false;
            continue;
        }
        initial = false;
        const bool closing = p < html.size() && html[p] == '/';
        if (closing)
            ++p;
        const bool letter =
            p < html.size() && std::isalpha(static_cast<unsigned char>(html[p])) != 0;
        if (!letter) {
            // "<!…>", "<?…>" and "</" before anything but a letter are bogus comments up to the
            // next ">", so no tag inside them counts; any other "<" is text.
            if (p < html.size() && (closing || html[p] == '!' || html[p] == '?')) {
                const std::size_t close = html.find('>', p);
                if (close == std::string_view::npos)
                    return scan;
                p = close + 1;
            }
            continue;
        }
        // A tag name runs up to white space, "/" or ">" as the parser reads it, so "<ul-x>" or
        // "<ul\0>" is not a list.
        std::size_t end = p;
        while (end < html.size() && !isTagNameEnd(html[end]))
            ++end;
        const std::string name = lowerASCII(html.substr(p, end - p));
        const std::size_t close = tagEnd(html, end);
        if (close == std::string_view::npos)
            return scan;
        p = close + 1;
        ++scan.tags;
        if (!closing && name == "body" && scan.bodyTag.empty() && lastCut == 0)
            scan.bodyTag = html.substr(tagStart, p - tagStart);
        if (!closing && open.empty() && !misnested && tagStart - lastCut >= pieceBytes &&
            startsPiece(name)) {
            scan.cuts.push_back(tagStart);
            lastCut = tagStart;
        }
        if (addsNoDepth(name))
            continue;
        if (closing) {
            if (depth > 0)
                --depth;
            // An end tag closes its element and everything opened inside it; a stray one nothing.
            // One that closes more than the innermost element is misnested: the parser may keep
            // or reopen some of them (a table stays open, bold carries on), so no cut follows.
            const auto match = std::find(open.rbegin(), open.rend(), name);
            if (match != open.rend() && match != open.rbegin())
                misnested = true;
            if (match != open.rend())
                open.erase(std::prev(match.base()), open.end());
            continue;
        }
        if (name == "script" || name == "style" || name == "textarea" || name == "title" ||
            name == "xmp" || name == "noscript" || name == "iframe" || name == "noembed" ||
            name == "noframes") {
            // Raw text: no tags inside until the matching end tag.
            const std::string lowerRest = "</" + name;
            std::size_t found = p;
            while ((found = html.find("</", found)) != std::string_view::npos &&
                   (lowerASCII(html.substr(found, lowerRest.size())) != lowerRest ||
                    (found + lowerRest.size() < html.size() &&
                     !isTagNameEnd(html[found + lowerRest.size()]))))
                found += 2;
            if (found == std::string_view::npos)
                return scan;
            p = found;
            continue;
        }
        if (name == "plaintext")
            return scan;
        // "<div/>" still opens a div in HTML; only the depth estimate takes it as closed.
        open.push_back(name);
        if (html[close - 1] == '/')
            continue;
        if (++depth > kMaxNestingDepth)
            throw ConversionError::corruptFile("HTML elements are nested more than " +
                                               std::to_string(kMaxNestingDepth) + " levels deep");
    }
    return scan;
}

using GumboOutputHandle = std::unique_ptr<GumboOutput, void (*)(GumboOutput*)>;

void destroyOutput(GumboOutput* output) {
    gumbo_destroy_output(&kGumboDefaultOptions, output);
}

enum class ListKind { bullet, numbered };

struct Frame {
    const GumboNode* node = nullptr;
    std::size_t nextChild = 0;
    TextAttributes attributes;
    bool preserveSpace = false;
    bool isBlock = false;
    bool isRow = false;
    bool opensList = false;
};

bool isBlockTag(GumboTag tag) {
    switch (tag) {
    case GUMBO_TAG_ADDRESS:
    case GUMBO_TAG_ARTICLE:
    case GUMBO_TAG_ASIDE:
    case GUMBO_TAG_BLOCKQUOTE:
    case GUMBO_TAG_CENTER:
    case GUMBO_TAG_DD:
    case GUMBO_TAG_DETAILS:
    case GUMBO_TAG_DIR:
    case GUMBO_TAG_DIV:
    case GUMBO_TAG_DL:
    case GUMBO_TAG_DT:
    case GUMBO_TAG_FIELDSET:
    case GUMBO_TAG_FIGCAPTION:
    case GUMBO_TAG_FIGURE:
    case GUMBO_TAG_FOOTER:
    case GUMBO_TAG_FORM:
    case GUMBO_TAG_H1:
    case GUMBO_TAG_H2:
    case GUMBO_TAG_H3:
    case GUMBO_TAG_H4:
    case GUMBO_TAG_H5:
    case GUMBO_TAG_H6:
    case GUMBO_TAG_HEADER:
    case GUMBO_TAG_HGROUP:
    case GUMBO_TAG_HR:
    case GUMBO_TAG_LI:
    case GUMBO_TAG_MAIN:
    case GUMBO_TAG_MENU:
    case GUMBO_TAG_NAV:
    case GUMBO_TAG_OL:
    case GUMBO_TAG_P:
    case GUMBO_TAG_PRE:
    case GUMBO_TAG_SECTION:
    case GUMBO_TAG_SUMMARY:
    case GUMBO_TAG_TABLE:
    case GUMBO_TAG_UL:
    case GUMBO_TAG_CAPTION:
    case GUMBO_TAG_TR:
    case GUMBO_TAG_LISTING:
    case GUMBO_TAG_PLAINTEXT:
    case GUMBO_TAG_XMP:
    case GUMBO_TAG_BODY: return true;
    default: return false;
    }
}

bool isHiddenTag(GumboTag tag) {
    switch (tag) {
    case GUMBO_TAG_HEAD:
    case GUMBO_TAG_SCRIPT:
    case GUMBO_TAG_STYLE:
    case GUMBO_TAG_TEMPLATE:
    case GUMBO_TAG_TITLE:
    case GUMBO_TAG_IFRAME:
    case GUMBO_TAG_OBJECT:
    case GUMBO_TAG_EMBED:
    case GUMBO_TAG_SVG:
    case GUMBO_TAG_SELECT:
    case GUMBO_TAG_NOEMBED:
    case GUMBO_TAG_NOFRAMES:
    case GUMBO_TAG_AUDIO:
    case GUMBO_TAG_VIDEO:
    case GUMBO_TAG_CANVAS:
    case GUMBO_TAG_MAP: return true;
    default: return false;
    }
}

const char* attribute(const GumboElement& element, const char* name) {
    const GumboAttribute* found = gumbo_get_attribute(&element.attributes, name);
    return found == nullptr ? nullptr : found->value;
}

// A CSS length as points, relative units against `parent` points.
std::optional<double> cssFontSize(std::string_view value, double parent) {
    const std::string text(trimmed(value));
    char* end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !(number > 0) || number > 2000) {
        static constexpr std::pair<std::string_view, double> kKeywords[] = {
            {"xx-small", 9}, {"x-small", 10}, {"small", 13},   {"medium", 16},
            {"large", 18},   {"x-large", 24}, {"xx-large", 32}};
        for (const auto& [name, pixels] : kKeywords)
            if (text == name)
                return pixels * kPixelsToPoints;
        return std::nullopt;
    }
    const std::string_view unit = trimmed(std::string_view(end));
    if (unit == "pt")
        return number;
    if (unit == "px" || unit.empty())
        return number * kPixelsToPoints;
    if (unit == "em" || unit == "rem")
        return number * parent;
    if (unit == "%")
        return number * parent / 100;
    return std::nullopt;
}

// The few inline style properties that carry the model's attributes.
void applyStyle(std::string_view style, TextAttributes& attributes, bool& preserveSpace) {
    const std::string lower = lowerASCII(style);
    std::string_view rest = lower;
    while (!rest.empty()) {
        const std::size_t semicolon = rest.find(';');
        const std::string_view declaration = rest.substr(0, semicolon);
        rest.remove_prefix(semicolon == std::string_view::npos ? rest.size() : semicolon + 1);
        const std::size_t colon = declaration.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = trimmed(declaration.substr(0, colon));
        std::string_view value = trimmed(declaration.substr(colon + 1));
        if (const auto bang = value.find('!'); bang != std::string_view::npos)
            value = trimmed(value.substr(0, bang));
        if (name == "font-weight") {
            if (value == "bold" || value == "bolder" || value == "600" || value == "700" ||
                value == "800" || value == "900")
                attributes.bold = true;
            else if (value == "normal" || value == "lighter" ||
                     (value.size() == 3 && value[0] <= '5'))
                attributes.bold = false;
        } else if (name == "font-style") {
            attributes.italic = value == "italic" || value == "oblique";
        } else if (name == "font-size") {
            if (auto size = cssFontSize(value, attributes.pointSize))
                attributes.pointSize = *size;
        } else if (name == "font-family") {
            std::string_view first = trimmed(value.substr(0, value.find(',')));
            if (!first.empty() && (first.front() == '"' || first.front() == '\''))
                first = first.substr(1);
            if (!first.empty() && (first.back() == '"' || first.back() == '\''))
                first.remove_suffix(1);
            attributes.monospace = first == "monospace" || isMonospaceFamily(value);
            if (first != "monospace" && first != "serif" && first != "sans-serif") {
                // Keep the author's spelling: find the same span in the original text.
                const std::size_t at = lower.find(first);
                attributes.family = at == std::string::npos
                                        ? std::string(first)
                                        : std::string(style.substr(at, first.size()));
            }
        } else if (name == "white-space") {
            preserveSpace = value == "pre" || value == "pre-wrap" || value == "pre-line" ||
                            value == "break-spaces";
        }
    }
}

class HTMLWalker {
  public:
    RichText take() { return std::move(m_text); }
    void reserve(std::size_t textBytes, std::size_t runs) { m_text.reserve(textBytes, runs); }

    void walk(const GumboNode* root) {
        std::vector<Frame> stack;
        stack.push_back(enter(root, Frame{}));
        while (!stack.empty()) {
            Frame& top = stack.back();
            const GumboVector& children = top.node->v.element.children;
            if (top.nextChild >= children.length) {
                leave(top);
                stack.pop_back();
                continue;
            }
            const auto* child = static_cast<const GumboNode*>(children.data[top.nextChild++]);
            switch (child->type) {
            case GUMBO_NODE_TEXT:
            case GUMBO_NODE_CDATA:
            case GUMBO_NODE_WHITESPACE: addText(child->v.text.text, top); break;
            case GUMBO_NODE_ELEMENT:
            case GUMBO_NODE_TEMPLATE:
                if (isHiddenTag(child->v.element.tag))
                    break;
                stack.push_back(enter(child, stack.back()));
                break;
            default: break; // comments and the document node
            }
        }
        m_text.trimTrailing(" \t");
    }

  private:
    Frame enter(const GumboNode* node, const Frame& parent) {
        Frame frame;
        frame.node = node;
        frame.attributes = parent.attributes;
        frame.preserveSpace = parent.preserveSpace;
        const GumboElement& element = node->v.element;
        const GumboTag tag = element.tag;
        frame.isBlock = isBlockTag(tag);
        if (frame.isBlock)
            blockBoundary();
        TextAttributes& a = frame.attributes;
        switch (tag) {
        case GUMBO_TAG_H1:
        case GUMBO_TAG_H2:
        case GUMBO_TAG_H3:
        case GUMBO_TAG_H4:
        case GUMBO_TAG_H5:
        case GUMBO_TAG_H6:
            a.pointSize = kHeadingPointSizes[static_cast<std::size_t>(tag - GUMBO_TAG_H1)];
            a.bold = true;
            break;
        case GUMBO_TAG_B:
        case GUMBO_TAG_STRONG:
        case GUMBO_TAG_TH: a.bold = true; break;
        case GUMBO_TAG_I:
        case GUMBO_TAG_EM:
        case GUMBO_TAG_CITE:
        case GUMBO_TAG_DFN:
        case GUMBO_TAG_VAR:
        case GUMBO_TAG_ADDRESS: a.italic = true; break;
        case GUMBO_TAG_CODE:
        case GUMBO_TAG_KBD:
        case GUMBO_TAG_SAMP:
        case GUMBO_TAG_TT: a.monospace = true; break;
        case GUMBO_TAG_PRE:
        case GUMBO_TAG_LISTING:
        case GUMBO_TAG_XMP:
        case GUMBO_TAG_PLAINTEXT:
            a.monospace = true;
            frame.preserveSpace = true;
            break;
        case GUMBO_TAG_TEXTAREA: frame.preserveSpace = true; break;
        case GUMBO_TAG_A:
            if (const char* href = attribute(element, "href")) {
                const std::string_view target = trimmed(href);
                if (!target.empty())
                    a.link = std::string(target);
            }
            break;
        case GUMBO_TAG_FONT:
            if (const char* face = attribute(element, "face")) {
                a.family = std::string(
                    trimmed(std::string_view(face).substr(0, std::string_view(face).find(','))));
                a.monospace = a.monospace || isMonospaceFamily(face);
            }
            if (const char* size = attribute(element, "size")) {
                const long n = std::strtol(size, nullptr, 10);
                if (n >= 1 && n <= 7)
                    a.pointSize = kFontSizePixels[n - 1] * kPixelsToPoints;
            }
            break;
        case GUMBO_TAG_UL:
        case GUMBO_TAG_MENU:
        case GUMBO_TAG_DIR:
            frame.opensList = true;
            m_lists.push_back({ListKind::bullet, 1});
            break;
        case GUMBO_TAG_OL: {
            frame.opensList = true;
            const char* start = attribute(element, "start");
            m_lists.push_back(
                {ListKind::numbered, start == nullptr ? 1 : std::strtol(start, nullptr, 10)});
            break;
        }
        case GUMBO_TAG_TR:
            frame.isRow = true;
            ++m_rowDepth;
            m_cellCounts.push_back(0);
            break;
        case GUMBO_TAG_BR: lineBreak(parent.attributes); break;
        default: break;
        }
        if (tag == GUMBO_TAG_TD || tag == GUMBO_TAG_TH)
            openCell();
        if (const char* style = attribute(element, "style"))
            applyStyle(style, a, frame.preserveSpace);
        if (tag == GUMBO_TAG_LI)
            addListMarker(frame);
        return frame;
    }

    void leave(const Frame& frame) {
        if (frame.opensList)
            m_lists.pop_back();
        if (frame.isRow) {
            --m_rowDepth;
            m_cellCounts.pop_back();
        }
        if (frame.isBlock)
            blockBoundary();
    }

    void openCell() {
        if (m_cellCounts.empty())
            return;
        m_pendingSpace.reset();
        if (m_cellCounts.back()++ > 0)
            m_text.append("\t", TextAttributes{});
    }

    void addListMarker(const Frame& item) {
        // The nearest list around the item decides the marker.
        if (m_lists.empty())
            return;
        List& list = m_lists.back();
        TextAttributes plain = item.attributes;
        plain.link.clear();
        if (list.kind == ListKind::numbered) {
            m_text.append(std::to_string(list.nextNumber++) + ". ", plain);
        } else {
            m_text.append("\u2022 ", plain);
        }
    }

    void lineBreak(TextAttributes attributes) {
        m_pendingSpace.reset();
        if (m_rowDepth > 0) {
            m_pendingSpace = TextAttributes{};
            return;
        }
        attributes.link.clear();
        m_text.append("\n", attributes);
    }

    void blockBoundary() {
        m_pendingSpace.reset();
        if (m_rowDepth > 0) {
            // Inside a table row, blocks only separate words; the row's end ends the paragraph.
            if (!m_text.atParagraphStart() && m_text.string().back() != '\t')
                m_pendingSpace = TextAttributes{};
            return;
        }
        if (!m_text.atParagraphStart()) {
            m_text.trimTrailing(" \t");
            m_text.endParagraph();
        }
    }

    void addText(const char* utf8, const Frame& frame) {
        std::string_view text(utf8);
        if (frame.preserveSpace) {
            flushPendingSpace();
            m_text.append(text, frame.attributes);
            return;
        }
        std::string collapsed;
        collapsed.reserve(text.size());
        for (std::size_t i = 0; i < text.size();) {
            if (isHTMLSpace(text[i])) {
                if (collapsed.empty()) {
                    if (!m_pendingSpace && !m_text.atParagraphStart() &&
                        m_text.string().back() != '\t')
                        m_pendingSpace = frame.attributes;
                } else {
                    collapsed += ' ';
                }
                while (i < text.size() && isHTMLSpace(text[i]))
                    ++i;
                continue;
            }
            if (collapsed.empty())
                flushPendingSpace();
            collapsed += text[i++];
        }
        if (!collapsed.empty() && collapsed.back() == ' ') {
            collapsed.pop_back();
            m_text.append(collapsed, frame.attributes);
            m_pendingSpace = frame.attributes;
        } else {
            m_text.append(collapsed, frame.attributes);
        }
    }

    void flushPendingSpace() {
        if (!m_pendingSpace)
            return;
        if (!m_text.atParagraphStart())
            m_text.append(" ", *m_pendingSpace);
        m_pendingSpace.reset();
    }

    RichText m_text;
    std::optional<TextAttributes> m_pendingSpace;
    std::size_t m_rowDepth = 0;
    std::vector<std::size_t> m_cellCounts;
    struct List {
        ListKind kind;
        long nextNumber;
    };
    std::vector<List> m_lists;
};

} // namespace

std::string decodeHTMLBytes(std::string bytes) {
    const std::string_view view = bytes;
    if (view.substr(0, 3) == "\xEF\xBB\xBF")
        return bytes.substr(3);
    if (view.substr(0, 2) == "\xFF\xFE" || view.substr(0, 2) == "\xFE\xFF") {
        if (auto text = decodeCharset(view.substr(2), view[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE"))
            return *text;
    }
    if (const auto charset = declaredCharset(view)) {
        std::string name = *charset;
        // Browsers read these labels as Windows-1252, which fills 0x80–0x9F with printable
        // characters.
        if (name == "iso-8859-1" || name == "latin1" || name == "us-ascii" || name == "ascii" ||
            name == "iso8859-1" || name == "l1")
            name = "windows-1252";
        if (name != "utf-8" && name != "utf8" && name.find("16") == std::string::npos) {
            if (auto text = decodeCharset(view, name))
                return *text;
        }
    }
    if (isValidUtf8(view))
        return bytes;
    return latin1ToUTF8(view);
}

RichText readHTML(std::string_view utf8) {
    return readHTML(utf8, kPieceBytes);
}

RichText readHTML(std::string_view utf8, std::size_t pieceBytes) {
    TagScan scan = scanTags(utf8, std::max<std::size_t>(pieceBytes, 1));
    if (scan.doctype.size() + scan.bodyTag.size() > kMaxRepeatedHead)
        scan.cuts.clear(); // repeated before every piece, a head this long is not worth it
    // The parser's tree takes several times the size of its source, so a long document is parsed
    // and walked piece by piece, each tree freed before the next piece is parsed.
    HTMLWalker walker;
    walker.reserve(utf8.size() + utf8.size() / 8 + 64, 2 * scan.tags + 64);
    std::string piece;
    for (std::size_t i = 0; i <= scan.cuts.size(); ++i) {
        const std::size_t from = i == 0 ? 0 : scan.cuts[i - 1];
        const std::size_t to = i == scan.cuts.size() ? utf8.size() : scan.cuts[i];
        std::string_view source = utf8.substr(from, to - from);
        if (i > 0) {
            piece.assign(scan.doctype);
            piece += scan.bodyTag;
            piece += source;
            source = piece;
        }
        GumboOptions options = kGumboDefaultOptions;
        options.max_errors = 0; // parse errors are not reported, so do not collect them
        GumboOutputHandle output(gumbo_parse_with_options(&options, source.data(), source.size()),
                                 &destroyOutput);
        if (!output || output->root == nullptr)
            throw ConversionError::corruptFile("HTML could not be parsed");
        walker.walk(output->root);
    }
    return walker.take();
}

} // namespace kv::richtext
