// RTF writer.
#include "document/richtext/rtf_writer.h"

#include "document/richtext/paragraphs.h"
#include "document/richtext/rtf_format.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace kv::richtext {
namespace {

constexpr std::string_view kDefaultFamily = "Helvetica";
constexpr std::string_view kDefaultMonospaceFamily = "Courier New";

// Reads one UTF-8 character at `i`, advancing; malformed bytes read as U+FFFD.
std::uint32_t nextCodePoint(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = lead < 0x80           ? 1
                         : (lead >> 5) == 0x6  ? 2
                         : (lead >> 4) == 0xE  ? 3
                         : (lead >> 3) == 0x1E ? 4
                                               : 0;
    if (length == 0 || i + length > text.size()) {
        ++i;
        return 0xFFFD;
    }
    std::uint32_t c = length == 1   ? lead
                      : length == 2 ? (lead & 0x1F)
                      : length == 3 ? (lead & 0x0F)
                                    : (lead & 0x07);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    i += length;
    return c;
}

void appendUnit(std::string& out, std::uint32_t unit) {
    // \u takes a signed 16-bit number.
    const int value = unit > 0x7FFF ? static_cast<int>(unit) - 0x10000 : static_cast<int>(unit);
    out += "\\u" + std::to_string(value) + "?";
}

void appendEscaped(std::string& out, std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) < 0x80) {
            ++i;
            switch (c) {
            case '\\': out += "\\\\"; break;
            case '{': out += "\\{"; break;
            case '}': out += "\\}"; break;
            case '\t': out += "\\tab "; break;
            default:
                if (static_cast<unsigned char>(c) >= 0x20)
                    out += c;
            }
            continue;
        }
        const std::uint32_t codePoint = nextCodePoint(text, i);
        if (codePoint > 0xFFFF) {
            const std::uint32_t v = codePoint - 0x10000;
            appendUnit(out, 0xD800 + (v >> 10));
            appendUnit(out, 0xDC00 + (v & 0x3FF));
        } else {
            appendUnit(out, codePoint);
        }
    }
}

class FontTable {
  public:
    FontTable() {
        index(std::string(kDefaultFamily), false);
        index(std::string(kDefaultMonospaceFamily), true);
    }
    int fontFor(const TextAttributes& a) {
        if (a.family.empty())
            return a.monospace ? 1 : 0;
        return index(a.family, a.monospace);
    }
    std::string table() const {
        std::string out = "{\\fonttbl";
        for (std::size_t i = 0; i < m_fonts.size(); ++i) {
            out += "{\\f" + std::to_string(i) + (m_fonts[i].second ? "\\fmodern" : "\\fswiss") +
                   "\\fcharset0 ";
            appendEscaped(out, m_fonts[i].first);
            out += ";}";
        }
        return out + "}";
    }

  private:
    int index(const std::string& family, bool monospace) {
        const auto key = std::make_pair(family, monospace);
        const auto found = m_index.find(key);
        if (found != m_index.end())
            return found->second;
        m_fonts.push_back(key);
        return m_index[key] = static_cast<int>(m_fonts.size()) - 1;
    }
    std::vector<std::pair<std::string, bool>> m_fonts;
    std::map<std::pair<std::string, bool>, int> m_index;
};

} // namespace

std::string writeRTF(const RichText& text, const RTFWriteOptions& options) {
    const double body = bodyPointSize(text);
    FontTable fonts;
    std::string content;
    content.reserve(text.length() * 2 + 256);

    forEachParagraph(text, [&](std::size_t start, std::size_t length) {
        content += "\\pard\\plain";
        const TextRun* first = text.runAt(start);
        if (length > 0 && first != nullptr) {
            const int level = headingLevel(first->attributes, body);
            if (level > 0)
                content += "\\outlinelevel" + std::to_string(level - 1);
        }
        content += " ";
        const auto runs = text.runsIn(start, length);
        for (std::size_t i = 0; i < runs.size();) {
            const std::string& link = runs[i].attributes.link;
            if (!link.empty()) {
                content += "{\\field{\\*\\fldinst{HYPERLINK \"";
                // A quote would end the field argument; in a URL it is written %22.
                std::string quoted;
                for (char c : link)
                    quoted += c == '"' ? std::string("%22") : std::string(1, c);
                appendEscaped(content, quoted);
                content += "\"}}{\\fldrslt{\\ul\\cf2 ";
            }
            for (; i < runs.size() && runs[i].attributes.link == link; ++i) {
                const TextAttributes& a = runs[i].attributes;
                const long halfPoints =
                    std::clamp<long>(std::lround(a.pointSize * 2), 1, rtf::kMaxHalfPoints);
                content +=
                    "{\\f" + std::to_string(fonts.fontFor(a)) + "\\fs" + std::to_string(halfPoints);
                if (a.bold)
                    content += "\\b";
                if (a.italic)
                    content += "\\i";
                if (options.blackForeground && link.empty())
                    content += "\\cf1";
                content += " ";
                appendEscaped(
                    content, std::string_view(text.string()).substr(runs[i].start, runs[i].length));
                content += "}";
            }
            if (!link.empty())
                content += "}}}";
        }
        content += "\\par\n";
    });

    std::string out = "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1\n";
    out += fonts.table();
    out += "\n{\\colortbl;\\red0\\green0\\blue0;\\red5\\green99\\blue193;}\n";
    out += content;
    out += "}\n";
    return out;
}

} // namespace kv::richtext
