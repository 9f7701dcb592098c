// DOCX reader over pugixml.
#include "document/richtext/docx_reader.h"

#include "archive/zip_reader.h"
#include "base/ascii_case.h"
#include "document/richtext/docx_format.h"
#include "engine/conversion_error.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <numeric>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <vector>

namespace kv::richtext {
namespace {

std::string_view localName(const pugi::xml_node& node) {
    std::string_view name = node.name();
    const std::size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string_view localName(const pugi::xml_attribute& attribute) {
    std::string_view name = attribute.name();
    const std::size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// Attributes and children are matched by local name: the prefixes are the author's choice.
const char* attributeValue(const pugi::xml_node& node, std::string_view name) {
    for (const pugi::xml_attribute& attribute : node.attributes())
        if (localName(attribute) == name)
            return attribute.value();
    return nullptr;
}

pugi::xml_node child(const pugi::xml_node& node, std::string_view name) {
    for (const pugi::xml_node& c : node.children())
        if (localName(c) == name)
            return c;
    return {};
}

// A toggle such as <w:b/> or <w:b w:val="false"/>.
bool onOff(const pugi::xml_node& node) {
    const char* value = attributeValue(node, "val");
    if (value == nullptr)
        return true;
    const std::string v = lowerASCII(value);
    return !(v == "0" || v == "false" || v == "off" || v == "none");
}

struct RunProperties {
    std::optional<bool> bold;
    std::optional<bool> italic;
    std::optional<double> pointSize;
    std::optional<std::string> family;
    std::optional<bool> monospace;

    void mergeFrom(const RunProperties& other) {
        if (other.bold)
            bold = other.bold;
        if (other.italic)
            italic = other.italic;
        if (other.pointSize)
            pointSize = other.pointSize;
        if (other.family)
            family = other.family;
        if (other.monospace)
            monospace = other.monospace;
    }
};

RunProperties readRunProperties(const pugi::xml_node& rPr) {
    RunProperties properties;
    for (const pugi::xml_node& c : rPr.children()) {
        const std::string_view name = localName(c);
        if (name == "b")
            properties.bold = onOff(c);
        else if (name == "i")
            properties.italic = onOff(c);
        else if (name == "sz") {
            if (const char* value = attributeValue(c, "val")) {
                const long halfPoints = std::strtol(value, nullptr, 10);
                if (halfPoints > 0 && halfPoints <= 3276)
                    properties.pointSize = static_cast<double>(halfPoints) / 2;
            }
        } else if (name == "rFonts") {
            for (const char* which : {"ascii", "hAnsi", "cs", "eastAsia"}) {
                if (const char* family = attributeValue(c, which)) {
                    properties.family = family;
                    properties.monospace = isMonospaceFamily(family);
                    break;
                }
            }
        }
    }
    return properties;
}

struct Style {
    std::string basedOn;
    RunProperties run;
    int headingLevel = 0; // 1…9 from the name or outline level
    bool code = false;    // a style named for code
};

int headingLevelOfName(std::string_view lowerName) {
    if (lowerName == "title")
        return 1;
    for (std::string_view prefix : {"heading ", "heading"}) {
        if (lowerName.size() == prefix.size() + 1 && lowerName.substr(0, prefix.size()) == prefix) {
            const char digit = lowerName.back();
            if (digit >= '1' && digit <= '9')
                return digit - '0';
        }
    }
    return 0;
}

int outlineLevelOf(const pugi::xml_node& pPr) {
    const pugi::xml_node outline = child(pPr, "outlineLvl");
    if (!outline)
        return 0;
    const char* value = attributeValue(outline, "val");
    if (value == nullptr)
        return 0;
    const long level = std::strtol(value, nullptr, 10);
    return level >= 0 && level <= 8 ? static_cast<int>(level) + 1 : 0;
}

class StyleSheet {
  public:
    void load(const pugi::xml_document& styles) {
        const pugi::xml_node root = styles.document_element();
        for (const pugi::xml_node& node : root.children()) {
            const std::string_view name = localName(node);
            if (name == "docDefaults") {
                const pugi::xml_node rPr = child(child(node, "rPrDefault"), "rPr");
                m_defaults = readRunProperties(rPr);
            } else if (name == "style") {
                const char* id = attributeValue(node, "styleId");
                if (id == nullptr)
                    continue;
                Style style;
                if (const pugi::xml_node based = child(node, "basedOn")) {
                    if (const char* value = attributeValue(based, "val"))
                        style.basedOn = value;
                }
                style.run = readRunProperties(child(node, "rPr"));
                const char* styleName = nullptr;
                if (const pugi::xml_node n = child(node, "name"))
                    styleName = attributeValue(n, "val");
                const std::string lowerId = lowerASCII(id);
                const std::string lowerName = lowerASCII(styleName == nullptr ? "" : styleName);
                style.headingLevel = headingLevelOfName(lowerName);
                if (style.headingLevel == 0)
                    style.headingLevel = headingLevelOfName(lowerId);
                if (style.headingLevel == 0)
                    style.headingLevel = outlineLevelOf(child(node, "pPr"));
                style.code = lowerName.find("verbatim") != std::string::npos ||
                             lowerName.find("code") != std::string::npos ||
                             lowerName.find("preformatted") != std::string::npos;
                const char* type = attributeValue(node, "type");
                const char* isDefault = attributeValue(node, "default");
                if (type != nullptr && std::string_view(type) == "paragraph" &&
                    isDefault != nullptr && onOffValue(isDefault))
                    m_defaultParagraphStyle = id;
                m_styles[id] = std::move(style);
            }
        }
    }

    const RunProperties& defaults() const { return m_defaults; }
    const std::string& defaultParagraphStyle() const { return m_defaultParagraphStyle; }

    // The chain from `id` up its basedOn links, base last; loops and long chains are cut.
    std::vector<const Style*> chain(const std::string& id) const {
        std::vector<const Style*> styles;
        std::string next = id;
        while (!next.empty() && styles.size() < docx::kMaxStyleChain) {
            const auto found = m_styles.find(next);
            if (found == m_styles.end())
                break;
            if (std::find(styles.begin(), styles.end(), &found->second) != styles.end())
                break;
            styles.push_back(&found->second);
            next = found->second.basedOn;
        }
        return styles;
    }

  private:
    static bool onOffValue(std::string_view value) {
        return value == "1" || value == "true" || value == "on";
    }

    RunProperties m_defaults;
    std::string m_defaultParagraphStyle;
    std::map<std::string, Style> m_styles;
};

struct ParagraphContext {
    RunProperties run; // defaults, then the paragraph style chain
    int headingLevel = 0;
    bool code = false;
};

struct FieldState {
    std::string instruction;
    bool separated = false;
    std::string link;
};

class DocumentWalker {
  public:
    DocumentWalker(const StyleSheet& styles, const std::map<std::string, std::string>& links,
                   const std::map<std::string, ArchiveConverter::Bytes>& pictures)
        : m_styles(styles), m_links(links), m_pictures(pictures) {}

    RichText take() { return std::move(m_text); }

    void blocks(const pugi::xml_node& parent, std::size_t depth) {
        checkDepth(depth);
        for (const pugi::xml_node& node : parent.children()) {
            const std::string_view name = localName(node);
            if (name == "p")
                paragraph(node, depth + 1);
            else if (name == "tbl")
                table(node, depth + 1);
            else if (name == "sdt")
                blocks(child(node, "sdtContent"), depth + 1);
            else if (name == "customXml" || name == "ins" || name == "moveTo")
                blocks(node, depth + 1);
        }
    }

  private:
    static void checkDepth(std::size_t depth) {
        if (depth > docx::kMaxElementDepth)
            throw ConversionError::corruptFile("DOCX elements are nested more than " +
                                               std::to_string(docx::kMaxElementDepth) +
                                               " levels deep");
    }

    void applyChain(const std::vector<const Style*>& chain, RunProperties& run, int* heading,
                    bool& code) {
        for (auto it = chain.rbegin(); it != chain.rend(); ++it)
            run.mergeFrom((*it)->run);
        for (const Style* style : chain) {
            if (heading != nullptr && *heading == 0)
                *heading = style->headingLevel;
            code = code || style->code;
        }
    }

    void paragraph(const pugi::xml_node& p, std::size_t depth) {
        ParagraphContext context;
        context.run = m_styles.defaults();
        const pugi::xml_node pPr = child(p, "pPr");
        std::string styleId = m_styles.defaultParagraphStyle();
        if (const pugi::xml_node pStyle = child(pPr, "pStyle")) {
            if (const char* value = attributeValue(pStyle, "val"))
                styleId = value;
        }
        applyChain(m_styles.chain(styleId), context.run, &context.headingLevel, context.code);
        if (const int outline = outlineLevelOf(pPr))
            context.headingLevel = outline;

        if (m_cellDepth > 0) {
            if (m_cellHasText)
                m_text.append(" ", TextAttributes{});
        }
        const std::size_t before = m_text.length();
        inlines(p, context, std::string(), depth + 1);
        if (m_cellDepth > 0) {
            m_cellHasText = m_cellHasText || m_text.length() > before;
            return;
        }
        TextAttributes end = attributesFor(context, RunProperties{}, false);
        end.link.clear();
        m_text.append("\n", end);
    }

    // The children named `name` of `parent`, also those wrapped in content controls or custom XML
    // (Word wraps repeating rows and cells in them).
    template <typename Visit>
    void forEachWrapped(const pugi::xml_node& parent, std::string_view name, std::size_t depth,
                        const Visit& visit) {
        checkDepth(depth);
        for (const pugi::xml_node& node : parent.children()) {
            const std::string_view n = localName(node);
            if (n == name)
                visit(node);
            else if (n == "sdt")
                forEachWrapped(child(node, "sdtContent"), name, depth + 1, visit);
            else if (n == "customXml")
                forEachWrapped(node, name, depth + 1, visit);
        }
    }

    static CellAlignment alignmentOf(const pugi::xml_node& vAlign) {
        const char* value = attributeValue(vAlign, "val");
        const std::string_view v = value == nullptr ? "" : value;
        return v == "center"   ? CellAlignment::middle
               : v == "bottom" ? CellAlignment::bottom
                               : CellAlignment::top;
    }

    static long integerValue(const pugi::xml_node& node, long fallback) {
        const char* value = attributeValue(node, "val");
        return value == nullptr ? fallback : std::strtol(value, nullptr, 10);
    }

    // A cell whose merge reaches down from an earlier row: where it starts in the grid, and the
    // row and cell that show its text.
    struct VerticalMerge {
        std::size_t column = 0;
        std::size_t columns = 1;
        std::size_t row = 0;
        std::size_t cell = 0;
        std::size_t lastRow = 0;
    };

    // The grid's column widths; empty unless every column has a width.
    static std::vector<double> gridWidths(const pugi::xml_node& tblGrid) {
        std::vector<double> widths;
        for (const pugi::xml_node& column : tblGrid.children()) {
            if (localName(column) != "gridCol")
                continue;
            const char* value = attributeValue(column, "w");
            const long twips = value == nullptr ? 0 : std::strtol(value, nullptr, 10);
            if (twips <= 0 || twips > 1'000'000 || widths.size() == docx::kMaxGridColumns)
                return {};
            widths.push_back(static_cast<double>(twips));
        }
        return widths;
    }

    // The share of `available` twips (0: not known) a table takes: its w:tblW as a percentage,
    // else its width or its grid's in twips.
    static double widthShare(const pugi::xml_node& tblW, const std::vector<double>& grid,
                             double available) {
        const char* type = attributeValue(tblW, "type");
        const char* value = attributeValue(tblW, "w");
        const long number = value == nullptr ? 0 : std::strtol(value, nullptr, 10);
        double share = 0;
        if (type != nullptr && std::string_view(type) == "pct") {
            // Fiftieths of a percent, or a percentage as written ("100%").
            const bool percent = value != nullptr && std::string_view(value).ends_with('%');
            share = static_cast<double>(number) / (percent ? 100.0 : 5000.0);
        } else if (available > 0) {
            const bool absolute = type != nullptr && std::string_view(type) == "dxa" && number > 0;
            const double twips = absolute ? static_cast<double>(number)
                                          : std::accumulate(grid.begin(), grid.end(), 0.0);
            share = twips / available;
        }
        return share > 0 ? std::min(share, 1.0) : 0.0;
    }

    // The width in twips of the cell being read, less its margins; 0 when not known.
    double cellWidth() const {
        if (m_cell.grid == nullptr || m_cell.column + m_cell.columns > m_cell.grid->size())
            return 0;
        const auto from = m_cell.grid->begin() + static_cast<std::ptrdiff_t>(m_cell.column);
        const double twips =
            std::accumulate(from, from + static_cast<std::ptrdiff_t>(m_cell.columns), 0.0);
        return std::max(twips - docx::kCellMarginsTwips, 1.0);
    }

    void table(const pugi::xml_node& tbl, std::size_t depth) {
        checkDepth(depth);
        Table outer;
        const pugi::xml_node tblPr = child(tbl, "tblPr");
        outer.columnWidths = gridWidths(child(tbl, "tblGrid"));
        outer.width = widthShare(child(tblPr, "tblW"), outer.columnWidths,
                                 m_cellDepth == 0 ? docx::kTextWidthTwips : cellWidth());
        const char* style = attributeValue(child(tblPr, "tblStyle"), "val");
        // Word's "Table Grid" style (and styles built on it) lines every cell.
        outer.borders =
            hasBorders(child(tblPr, "tblBorders")) ||
            (style != nullptr && std::string_view(style).find("Grid") != std::string_view::npos);
        // A table after text in its cell starts a word of its own, as a paragraph does.
        if (m_cellDepth > 0 && m_cellHasText)
            m_text.append(" ", TextAttributes{});
        // Tables too deep inside others stay text of their cell, as do the tables inside them.
        Table* const enclosing = m_table;
        const bool kept =
            m_cellDepth == 0 || (enclosing != nullptr && m_tablesOpen <= docx::kMaxNestedTables);
        m_table = kept ? &outer : nullptr;
        ++m_tablesOpen;
        std::vector<VerticalMerge> merges;
        forEachWrapped(tbl, "tr", depth + 1, [&](const pugi::xml_node& row) {
            const std::size_t rowIndex = outer.rows.size();
            std::erase_if(merges, [&](const VerticalMerge& m) { return m.lastRow + 1 < rowIndex; });
            const std::size_t nestedBefore = outer.nested.size();
            std::size_t column = static_cast<std::size_t>(
                std::clamp<long>(integerValue(child(child(row, "trPr"), "gridBefore"), 0), 0,
                                 docx::kMaxGridColumns));
            TableRow cells;
            cells.columnsBefore = static_cast<std::uint32_t>(column);
            forEachWrapped(row, "tc", depth + 2, [&](const pugi::xml_node& cell) {
                if (!cells.cells.empty())
                    m_text.append("\t", TextAttributes{});
                const pugi::xml_node tcPr = child(cell, "tcPr");
                const long limit = static_cast<long>(
                    column < docx::kMaxGridColumns ? docx::kMaxGridColumns - column : 1);
                const auto columns = static_cast<std::uint16_t>(
                    std::clamp<long>(integerValue(child(tcPr, "gridSpan"), 1), 1, limit));
                cells.cells.push_back({.start = m_text.length(),
                                       .columns = columns,
                                       .alignment = alignmentOf(child(tcPr, "vAlign"))});
                outer.borders = outer.borders || hasBorders(child(tcPr, "tcBorders"));
                const std::size_t textBefore = m_text.length();
                const std::size_t picturesBefore = m_text.pictures().size();
                const bool outerHasText = m_cellHasText;
                const CellPlace outerCell = m_cell;
                ++m_cellDepth;
                m_cellHasText = false;
                m_cell = {&outer.columnWidths, column, columns};
                blocks(cell, depth + 3);
                m_cell = outerCell;
                --m_cellDepth;
                m_cellHasText = outerHasText || m_cellDepth > 0;

                // A vertical merge goes on while the cells below it carry w:vMerge without
                // "restart"; they show nothing. One that holds text or a picture starts a merge of
                // its own instead, so nothing it holds is lost.
                const pugi::xml_node vMerge = child(tcPr, "vMerge");
                const char* value = vMerge ? attributeValue(vMerge, "val") : nullptr;
                const bool continues =
                    vMerge && (value == nullptr || std::string_view(value) != "restart");
                const bool empty =
                    m_text.length() == textBefore && m_text.pictures().size() == picturesBefore;
                const auto above =
                    std::find_if(merges.begin(), merges.end(), [&](const VerticalMerge& m) {
                        return m.column == column && m.columns == columns &&
                               m.lastRow + 1 == rowIndex;
                    });
                if (continues && empty && above != merges.end()) {
                    cells.cells.back().rows = 0;
                    ++outer.rows[above->row].cells[above->cell].rows;
                    above->lastRow = rowIndex;
                } else {
                    std::erase_if(merges, [&](const VerticalMerge& m) {
                        return m.column < column + columns && column < m.column + m.columns;
                    });
                    // Followed only inside the grid's limit, so the open merges stay few.
                    if (vMerge && column < docx::kMaxGridColumns)
                        merges.push_back(
                            {column, columns, rowIndex, cells.cells.size() - 1, rowIndex});
                }
                column += columns;
            });
            if (m_cellDepth > 0) {
                cells.end = m_text.length();
                if (!cells.cells.empty())
                    outer.rows.push_back(std::move(cells));
                m_text.append(" ", TextAttributes{});
                return;
            }
            if (cells.cells.empty())
                return; // a row without cells is no line of the table
            m_text.trimTrailing("\t ");
            // Cells emptied by the trim start where the row ends, so do the tables inside them.
            cells.end = m_text.length();
            for (TableCell& c : cells.cells)
                c.start = std::min(c.start, cells.end);
            for (std::size_t i = nestedBefore; i < outer.nested.size(); ++i)
                clampTo(outer.nested[i], cells.end);
            outer.rows.push_back(std::move(cells));
            m_text.append("\n", TextAttributes{});
        });
        --m_tablesOpen;
        m_table = enclosing;
        if (!kept || outer.rows.empty())
            return;
        if (m_cellDepth == 0)
            m_text.addTable(std::move(outer));
        else
            enclosing->nested.push_back(std::move(outer));
    }

    static void clampTo(Table& table, std::size_t end) {
        for (TableRow& row : table.rows) {
            row.end = std::min(row.end, end);
            for (TableCell& c : row.cells)
                c.start = std::min(c.start, end);
        }
        for (Table& inner : table.nested)
            clampTo(inner, end);
    }

    // Whether a tblBorders or tcBorders element draws any side.
    static bool hasBorders(const pugi::xml_node& borders) {
        for (const pugi::xml_node& side : borders.children()) {
            const char* value = attributeValue(side, "val");
            const std::string_view v = value == nullptr ? "" : value;
            if (!v.empty() && v != "nil" && v != "none")
                return true;
        }
        return false;
    }

    void inlines(const pugi::xml_node& parent, const ParagraphContext& context,
                 const std::string& link, std::size_t depth) {
        checkDepth(depth);
        for (const pugi::xml_node& node : parent.children()) {
            const std::string_view name = localName(node);
            if (name == "r") {
                run(node, context, link);
            } else if (name == "hyperlink") {
                std::string target;
                if (const char* id = attributeValue(node, "id")) {
                    const auto found = m_links.find(id);
                    if (found != m_links.end())
                        target = found->second;
                }
                if (target.empty()) {
                    if (const char* anchor = attributeValue(node, "anchor"))
                        target = "#" + std::string(anchor);
                }
                inlines(node, context, target.empty() ? link : target, depth + 1);
            } else if (name == "fldSimple") {
                const char* instruction = attributeValue(node, "instr");
                const std::string target =
                    instruction == nullptr ? std::string() : hyperlinkTarget(instruction);
                inlines(node, context, target.empty() ? link : target, depth + 1);
            } else if (name == "sdt") {
                inlines(child(node, "sdtContent"), context, link, depth + 1);
            } else if (name == "ins" || name == "smartTag" || name == "customXml" ||
                       name == "moveTo" || name == "dir" || name == "bdo" || name == "sdtContent") {
                inlines(node, context, link, depth + 1);
            }
        }
    }

    TextAttributes attributesFor(const ParagraphContext& context, const RunProperties& direct,
                                 bool codeStyle) {
        RunProperties resolved = context.run;
        resolved.mergeFrom(direct);
        TextAttributes a;
        a.pointSize = resolved.pointSize.value_or(kBodyPointSize);
        a.bold = resolved.bold.value_or(false);
        a.italic = resolved.italic.value_or(false);
        a.family = resolved.family.value_or(std::string());
        a.monospace = resolved.monospace.value_or(false) || codeStyle || context.code;
        if (context.headingLevel > 0) {
            const auto index = std::min<std::size_t>(
                static_cast<std::size_t>(context.headingLevel - 1), kHeadingPointSizes.size() - 1);
            a.pointSize = kHeadingPointSizes[index];
            a.bold = true;
        }
        return a;
    }

    bool inFieldInstruction() const {
        return std::any_of(m_fields.begin(), m_fields.end(),
                           [](const FieldState& f) { return !f.separated; });
    }

    std::string fieldLink() const {
        for (auto it = m_fields.rbegin(); it != m_fields.rend(); ++it)
            if (!it->link.empty())
                return it->link;
        return {};
    }

    void run(const pugi::xml_node& r, const ParagraphContext& context, const std::string& link) {
        RunProperties direct;
        bool codeStyle = false;
        if (const pugi::xml_node rPr = child(r, "rPr")) {
            if (const pugi::xml_node rStyle = child(rPr, "rStyle")) {
                if (const char* value = attributeValue(rStyle, "val")) {
                    applyChain(m_styles.chain(value), direct, nullptr, codeStyle);
                }
            }
            direct.mergeFrom(readRunProperties(rPr));
        }
        TextAttributes attributes = attributesFor(context, direct, codeStyle);
        for (const pugi::xml_node& node : r.children()) {
            const std::string_view name = localName(node);
            if (name == "fldChar") {
                const char* type = attributeValue(node, "fldCharType");
                const std::string_view kind = type == nullptr ? "" : type;
                if (kind == "begin") {
                    m_fields.push_back({});
                } else if (kind == "separate" && !m_fields.empty()) {
                    m_fields.back().separated = true;
                    m_fields.back().link = hyperlinkTarget(m_fields.back().instruction);
                } else if (kind == "end" && !m_fields.empty()) {
                    m_fields.pop_back();
                }
                continue;
            }
            if (name == "instrText") {
                if (!m_fields.empty() && !m_fields.back().separated)
                    m_fields.back().instruction += node.child_value();
                continue;
            }
            if (inFieldInstruction())
                continue;
            const std::string fieldTarget = fieldLink();
            attributes.link = fieldTarget.empty() ? link : fieldTarget;
            if (name == "t") {
                m_text.append(node.child_value(), attributes);
            } else if (name == "tab" || name == "ptab") {
                m_text.append("\t", attributes);
            } else if (name == "br" || name == "cr") {
                TextAttributes plain = attributes;
                plain.link.clear();
                m_text.append(m_cellDepth > 0 ? " " : "\n", plain);
            } else if (name == "noBreakHyphen") {
                m_text.append("\u2011", attributes);
            } else if (name == "drawing") {
                picture(node);
            }
        }
    }

    // An inline or anchored picture: the package part its blip embeds, at its extent's size.
    void picture(const pugi::xml_node& drawing) {
        const auto named = [](std::string_view name) {
            return [name](const pugi::xml_node& n) { return localName(n) == name; };
        };
        const pugi::xml_node blip = drawing.find_node(named("blip"));
        const char* id = blip ? attributeValue(blip, "embed") : nullptr;
        const auto found = id == nullptr ? m_pictures.end() : m_pictures.find(id);
        if (found == m_pictures.end())
            return;
        const pugi::xml_node extent = drawing.find_node(named("extent"));
        constexpr double kEMUPerPoint = 12700;
        const double width = extent.attribute("cx").as_double() / kEMUPerPoint;
        const double height = extent.attribute("cy").as_double() / kEMUPerPoint;
        m_text.addPicture(width, height, found->second);
    }

    const StyleSheet& m_styles;
    const std::map<std::string, std::string>& m_links;
    const std::map<std::string, ArchiveConverter::Bytes>& m_pictures; // by relationship id
    RichText m_text;
    std::size_t m_cellDepth = 0;
    bool m_cellHasText = false;
    // Where the cell being read sits in its table's grid.
    struct CellPlace {
        const std::vector<double>* grid = nullptr;
        std::size_t column = 0;
        std::size_t columns = 1;
    };
    CellPlace m_cell;
    Table* m_table = nullptr;     // the innermost table being read that is kept as a table
    std::size_t m_tablesOpen = 0; // tables being read, one inside the other
    std::vector<FieldState> m_fields;
};

// Text kept in its element rather than a node of its own: a third fewer nodes in a document part.
constexpr std::size_t kPieceBytes = 256 * 1024; // main part parsed at once (its tree takes ~4×)
constexpr std::size_t kMaxRepeatedHead = 64 * 1024; // what may precede the body in every piece

constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_ws_pcdata_single | pugi::parse_embed_pcdata;

void throwIfMalformed(const pugi::xml_parse_result& result, std::string_view partName) {
    if (!result) {
        throw ConversionError::corruptFile("DOCX part " + std::string(partName) +
                                           " is not well-formed XML (" + result.description() +
                                           " at byte " + std::to_string(result.offset) + ")");
    }
}

// Parses a part; entity declarations are never expanded (pugixml knows only the five XML ones).
void parsePart(pugi::xml_document& document, const ArchiveConverter::Bytes& data,
               std::string_view partName) {
    throwIfMalformed(document.load_buffer(data.data(), data.size(), kParseOptions), partName);
}

std::string lowerPartName(std::string_view name) {
    std::string_view trimmed = name;
    while (!trimmed.empty() && trimmed.front() == '/')
        trimmed.remove_prefix(1);
    return lowerASCII(trimmed);
}

// Id → target of every relationship in a .rels part; `typeWanted` (if any) → its first target.
// PNG, JPEG or GIF by their signatures: the picture formats a page can show.
bool isPictureFormat(const ArchiveConverter::Bytes& data) {
    const auto starts = [&](std::initializer_list<std::uint8_t> signature) {
        return data.size() >= signature.size() &&
               std::equal(signature.begin(), signature.end(), data.begin());
    };
    return starts({0x89, 'P', 'N', 'G'}) || starts({0xFF, 0xD8, 0xFF}) ||
           starts({'G', 'I', 'F', '8'});
}

std::map<std::string, std::string> readRelationships(const ArchiveConverter::Bytes* data,
                                                     std::string_view typeWanted,
                                                     std::string* wantedTarget,
                                                     std::string_view partName) {
    std::map<std::string, std::string> targets;
    if (data == nullptr)
        return targets;
    pugi::xml_document rels;
    parsePart(rels, *data, partName);
    for (const pugi::xml_node& rel : rels.document_element().children()) {
        if (localName(rel) != "Relationship")
            continue;
        const char* id = attributeValue(rel, "Id");
        const char* target = attributeValue(rel, "Target");
        const char* type = attributeValue(rel, "Type");
        if (id == nullptr || target == nullptr)
            continue;
        targets[id] = target;
        if (wantedTarget != nullptr && wantedTarget->empty() && type != nullptr &&
            std::string_view(type) == typeWanted)
            *wantedTarget = target;
    }
    return targets;
}

// A relationship target relative to the folder of the part that holds the relationship.
std::string resolvePart(std::string_view folder, std::string_view target) {
    if (!target.empty() && target.front() == '/')
        return lowerPartName(target);
    std::vector<std::string> parts;
    std::string joined = std::string(folder) + (folder.empty() ? "" : "/") + std::string(target);
    std::string_view rest = joined;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view piece = rest.substr(0, slash);
        rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
        if (piece.empty() || piece == ".")
            continue;
        if (piece == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.emplace_back(piece);
    }
    std::string out;
    for (const auto& piece : parts)
        out += (out.empty() ? "" : "/") + piece;
    return lowerPartName(out);
}

// Where the main part's body can be cut into pieces that parse alone: the part up to and including
// the body's start tag (repeated before every piece), the end tags that close a piece, and the
// offsets of body children about `pieceBytes` apart. Empty cuts when the part is anything but
// plainly well-nested (then it is parsed whole, which also words any error).
struct BodyCuts {
    std::size_t headEnd = 0;
    std::size_t bodyEnd = 0;
    std::string closing;
    std::vector<std::size_t> cuts;
};

BodyCuts findBodyCuts(std::string_view xml, std::size_t pieceBytes) {
    BodyCuts found;
    std::string rootName;
    std::string bodyName;
    std::size_t depth = 0;
    std::size_t lastCut = 0;
    std::size_t p = xml.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    std::size_t outsideFrom = p; // text outside the root must be white space
    const auto onlySpace = [&](std::size_t from, std::size_t to) {
        return std::all_of(xml.begin() + static_cast<std::ptrdiff_t>(from),
                           xml.begin() + static_cast<std::ptrdiff_t>(to),
                           [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
    };
    const auto skipPast = [&](std::string_view end) {
        const std::size_t at = xml.find(end, p);
        if (at == std::string_view::npos)
            return false;
        p = at + end.size();
        if (depth == 0)
            outsideFrom = p;
        return true;
    };
    while ((p = xml.find('<', p)) != std::string_view::npos) {
        const std::size_t tagStart = p;
        if (depth == 0 && !onlySpace(outsideFrom, tagStart))
            return {};
        const std::string_view rest = xml.substr(p);
        if (rest.starts_with("<?")) {
            if (!skipPast("?>"))
                return {};
            continue;
        }
        if (rest.starts_with("<!--")) {
            if (!skipPast("-->"))
                return {};
            continue;
        }
        if (rest.starts_with("<![CDATA[")) {
            if (!skipPast("]]>"))
                return {};
            continue;
        }
        if (rest.starts_with("<!"))
            return {}; // a document type declaration: leave it to the parser
        const bool closing = rest.starts_with("</");
        std::size_t nameEnd = p + (closing ? 2 : 1);
        while (nameEnd < xml.size() && xml[nameEnd] != '>' && xml[nameEnd] != '/' &&
               !std::isspace(static_cast<unsigned char>(xml[nameEnd])))
            ++nameEnd;
        const std::string_view name =
            xml.substr(p + (closing ? 2 : 1), nameEnd - p - (closing ? 2 : 1));
        // The tag's end, past quoted attribute values (which may hold '>').
        std::size_t end = nameEnd;
        char quote = 0;
        for (; end < xml.size(); ++end) {
            const char c = xml[end];
            if (quote != 0) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            }
        }
        if (end >= xml.size() || name.empty())
            return {};
        p = end + 1;
        const bool selfClosing = !closing && xml[end - 1] == '/';
        if (closing) {
            if (depth == 0)
                return {};
            if (depth == 2) {
                if (name != bodyName)
                    return {};
                found.bodyEnd = tagStart;
            }
            if (--depth == 0)
                outsideFrom = p;
            continue;
        }
        if (depth == 0) {
            if (!rootName.empty() || selfClosing)
                return {}; // a second root, or an empty one
            rootName = std::string(name);
        } else if (depth == 1) {
            const std::size_t colon = name.find(':');
            if (found.headEnd == 0 && !selfClosing &&
                (colon == std::string_view::npos ? name : name.substr(colon + 1)) == "body") {
                bodyName = std::string(name);
                found.headEnd = p;
            }
        } else if (depth == 2 && found.headEnd != 0 && found.bodyEnd == 0 &&
                   tagStart - std::max(lastCut, found.headEnd) >= pieceBytes) {
            found.cuts.push_back(tagStart);
            lastCut = tagStart;
        }
        if (!selfClosing)
            ++depth;
    }
    // The head is repeated before every piece, so a long one is not.
    if (found.headEnd > kMaxRepeatedHead || depth != 0 || found.headEnd == 0 ||
        found.bodyEnd == 0 || !onlySpace(outsideFrom, xml.size()))
        return {};
    found.closing = "</" + bodyName + "></" + rootName + ">";
    return found;
}

// Walks the main part's body piece by piece, each piece's tree freed before the next is parsed,
// so that no tree of the whole part (three or four times its size) is ever held. False when the
// part cannot be cut or a piece does not parse: the caller then parses it whole.
bool walkInPieces(std::string_view xml, std::size_t pieceBytes, DocumentWalker& walker) {
    const BodyCuts found = findBodyCuts(xml, pieceBytes);
    if (found.cuts.empty())
        return false;
    std::string piece;
    for (std::size_t i = 0; i <= found.cuts.size(); ++i) {
        const std::size_t from = i == 0 ? found.headEnd : found.cuts[i - 1];
        const std::size_t to = i == found.cuts.size() ? found.bodyEnd : found.cuts[i];
        piece.assign(xml.substr(0, found.headEnd));
        piece += xml.substr(from, to - from);
        piece += found.closing;
        pugi::xml_document document;
        if (!document.load_buffer_inplace(piece.data(), piece.size(), kParseOptions))
            return false;
        const pugi::xml_node root = document.document_element();
        const pugi::xml_node body = child(root, "body");
        if (localName(root) != "document" || !body)
            return false;
        walker.blocks(body, 0);
    }
    return true;
}

} // namespace

RichText readDOCX(std::span<const std::uint8_t> package) {
    return readDOCX(package, kPieceBytes);
}

RichText readDOCX(std::span<const std::uint8_t> package, std::size_t pieceBytes) {
    std::vector<ArchiveConverter::ZipMember> members = ArchiveConverter::readZIP(package);
    std::map<std::string, ArchiveConverter::Bytes*> parts;
    for (auto& member : members)
        parts.emplace(lowerPartName(member.name), &member.data);
    const auto part = [&](std::string_view name) -> ArchiveConverter::Bytes* {
        const auto found = parts.find(lowerPartName(name));
        return found == parts.end() ? nullptr : found->second;
    };

    std::string mainTarget;
    readRelationships(part(docx::kPackageRelsPart), docx::kOfficeDocumentRel, &mainTarget,
                      docx::kPackageRelsPart);
    std::string mainPart =
        mainTarget.empty() ? std::string(docx::kDocumentPart) : resolvePart("", mainTarget);
    ArchiveConverter::Bytes* documentData = part(mainPart);
    if (documentData == nullptr) {
        mainPart = docx::kDocumentPart;
        documentData = part(mainPart);
    }
    if (documentData == nullptr)
        throw ConversionError::corruptFile("DOCX has no main document part (word/document.xml)");

    const std::size_t slash = mainPart.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : mainPart.substr(0, slash);
    const std::string name = slash == std::string::npos ? mainPart : mainPart.substr(slash + 1);
    const std::string relsPart = (folder.empty() ? "" : folder + "/") + "_rels/" + name + ".rels";
    std::string stylesTarget;
    const auto links = readRelationships(part(relsPart), docx::kStylesRel, &stylesTarget, relsPart);

    StyleSheet styles;
    const std::string stylesPart =
        stylesTarget.empty() ? std::string(docx::kStylesPart) : resolvePart(folder, stylesTarget);
    if (const ArchiveConverter::Bytes* data = part(stylesPart)) {
        pugi::xml_document stylesDocument;
        parsePart(stylesDocument, *data, stylesPart);
        styles.load(stylesDocument);
    }

    // Pictures the main part may embed, by relationship id; their bytes are kept.
    std::map<std::string, ArchiveConverter::Bytes> pictures;
    for (const auto& [id, target] : links) {
        ArchiveConverter::Bytes* data = part(resolvePart(folder, target));
        if (data != nullptr && data != documentData && isPictureFormat(*data))
            pictures.emplace(id, *data); // a copy: two ids may name one part
    }

    // Every other part is freed first; the main part is read a piece at a time, else parsed whole
    // in place, its tree pointing into the inflated bytes.
    ArchiveConverter::Bytes documentBytes = std::move(*documentData);
    parts.clear();
    members.clear();
    members.shrink_to_fit();
    {
        DocumentWalker walker(styles, links, pictures);
        const std::string_view xml(reinterpret_cast<const char*>(documentBytes.data()),
                                   documentBytes.size());
        if (walkInPieces(xml, std::max<std::size_t>(pieceBytes, 1), walker))
            return walker.take();
    }
    pugi::xml_document document;
    throwIfMalformed(
        document.load_buffer_inplace(documentBytes.data(), documentBytes.size(), kParseOptions),
        mainPart);
    const pugi::xml_node root = document.document_element();
    const pugi::xml_node body = child(root, "body");
    if (localName(root) != "document" || !body)
        throw ConversionError::corruptFile("DOCX main document has no w:body element");
    DocumentWalker walker(styles, links, pictures);
    walker.blocks(body, 0);
    return walker.take();
}

} // namespace kv::richtext
