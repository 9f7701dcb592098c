// RTF reader.
#include "document/richtext/rtf_reader.h"

#include "base/hex_digit.h"
#include "document/richtext/rtf_format.h"
#include "document/richtext/text_encoding.h"
#include "engine/conversion_error.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

namespace kv::richtext {
namespace {

enum class Destination { text, skip, fontTable, fieldInstruction };

struct Font {
    std::string name;
    bool modern = false; // \fmodern: the fixed-pitch family
    int charset = 0;
};

struct GroupState {
    Destination destination = Destination::text;
    int font = -1;
    int halfPoints = rtf::kDefaultHalfPoints;
    bool bold = false;
    bool italic = false;
    bool hidden = false;
    int unicodeSkip = 1; // \ucN
    int outlineLevel = -1;
    int field = -1; // the enclosing \field, an index into the reader's fields
    std::string link;
    bool starred = false; // the group opened with \*: an unknown destination is skipped
};

struct Field {
    std::string instruction;
};

// Destinations whose text a reader never shows.
const std::unordered_set<std::string_view>& skippedDestinations() {
    static const std::unordered_set<std::string_view> names{
        "pict",        "header",       "headerl",    "headerr",
        "headerf",     "footer",       "footerl",    "footerr",
        "footerf",     "info",         "stylesheet", "colortbl",
        "footnote",    "annotation",   "object",     "shp",
        "shpinst",     "nonshppict",   "themedata",  "colorschememapping",
        "datastore",   "latentstyles", "listtable",  "listoverridetable",
        "revtbl",      "rsidtbl",      "generator",  "xmlnstbl",
        "filetbl",     "pgdsctbl",     "fldtype",    "userprops",
        "docvar",      "pntxtb",       "pntxta",     "txe",
        "xe",          "tc",           "comment",    "template",
        "protusertbl", "ftnsep",       "ftnsepc",    "ftncn",
        "aftnsep",     "aftnsepc",     "aftncn",     "atnid",
        "atnauthor",   "private",      "sp",         "sv",
        "sn",          "bkmkstart",    "bkmkend",    "mmathPr",
        "blipuid",     "panose",       "falt",       "fontemb",
        "fontfile",    "objdata",      "result",     "expandedcolortbl",
        "listpicture"};
    return names;
}

std::string_view trimmedSpaces(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

class RTFReader {
  public:
    explicit RTFReader(std::string_view bytes) : m_bytes(bytes) {}

    RichText read() {
        std::size_t start = 0;
        while (start < m_bytes.size() && (m_bytes[start] == ' ' || m_bytes[start] == '\r' ||
                                          m_bytes[start] == '\n' || m_bytes[start] == '\t'))
            ++start;
        if (m_bytes.substr(start, 5) != "{\\rtf")
            throw ConversionError::corruptFile(
                "Not an RTF document \u2014 it does not start with {\\rtf");
        m_pos = start;
        while (m_pos < m_bytes.size()) {
            const char c = m_bytes[m_pos];
            if (c == '{') {
                ++m_pos;
                openGroup();
            } else if (c == '}') {
                ++m_pos;
                if (!closeGroup())
                    break; // the document's own group has ended
            } else if (c == '\\') {
                ++m_pos;
                controlSequence();
            } else {
                ++m_pos;
                if (c == '\r' || c == '\n')
                    continue;
                if (c == '\t') {
                    flushBytes();
                    emitText("\t");
                } else {
                    textByte(c);
                }
            }
        }
        flushBytes();
        return std::move(m_text);
    }

  private:
    GroupState& state() { return m_groups.back(); }

    void openGroup() {
        flushBytes();
        if (m_groups.size() >= rtf::kMaxGroupDepth)
            throw ConversionError::corruptFile("RTF groups are nested more than " +
                                               std::to_string(rtf::kMaxGroupDepth) +
                                               " levels deep");
        GroupState next = m_groups.empty() ? GroupState{} : state();
        next.starred = false;
        m_groups.push_back(std::move(next));
        m_skipCount = 0;
    }

    bool closeGroup() {
        flushBytes();
        m_skipCount = 0;
        if (m_groups.empty())
            return false;
        if (state().destination == Destination::fontTable && m_fontEntry)
            finishFontEntry();
        m_groups.pop_back();
        return !m_groups.empty();
    }

    void controlSequence() {
        if (m_pos >= m_bytes.size())
            return;
        const char c = m_bytes[m_pos];
        if (!std::isalpha(static_cast<unsigned char>(c))) {
            ++m_pos;
            controlSymbol(c);
            return;
        }
        std::size_t end = m_pos;
        while (end < m_bytes.size() && std::isalpha(static_cast<unsigned char>(m_bytes[end])) &&
               end - m_pos <= rtf::kMaxControlWordLetters)
            ++end;
        const std::string_view word = m_bytes.substr(m_pos, end - m_pos);
        m_pos = end;
        std::optional<long> parameter;
        bool negative = false;
        if (m_pos < m_bytes.size() && m_bytes[m_pos] == '-') {
            negative = true;
            ++m_pos;
        }
        long value = 0;
        std::size_t digits = 0;
        while (m_pos < m_bytes.size() && std::isdigit(static_cast<unsigned char>(m_bytes[m_pos])) &&
               digits < 10) {
            value = value * 10 + (m_bytes[m_pos] - '0');
            ++m_pos;
            ++digits;
        }
        if (digits > 0)
            parameter = negative ? -value : value;
        if (m_pos < m_bytes.size() && m_bytes[m_pos] == ' ')
            ++m_pos; // the delimiting space
        controlWord(word, parameter);
    }

    bool skippingFallback() {
        if (m_skipCount <= 0)
            return false;
        --m_skipCount;
        return true;
    }

    void controlSymbol(char c) {
        switch (c) {
        case '\'': {
            if (m_pos + 2 > m_bytes.size()) {
                m_pos = m_bytes.size();
                return;
            }
            const int high = hexDigitValue(m_bytes[m_pos]);
            const int low = hexDigitValue(m_bytes[m_pos + 1]);
            m_pos += 2;
            if (high < 0 || low < 0)
                return;
            if (skippingFallback())
                return;
            m_pendingBytes += static_cast<char>(high * 16 + low);
            return;
        }
        case '*': state().starred = true; return;
        case '\\':
        case '{':
        case '}':
            if (skippingFallback())
                return;
            textByte(c);
            return;
        case '~': symbolText("\u00A0"); return;
        case '_': symbolText("\u2011"); return;
        case '\r':
        case '\n':
            flushBytes();
            paragraph();
            return;
        default: flushBytes(); return; // \- optional hyphen, \: index subentry, \| formula
        }
    }

    void symbolText(std::string_view text) {
        flushBytes();
        if (skippingFallback())
            return;
        emitText(text);
    }

    void controlWord(std::string_view word, std::optional<long> parameter) {
        flushBytes();
        GroupState& s = state();
        const long n = parameter.value_or(1);
        if (s.starred) {
            s.starred = false;
            if (word != "fldinst") {
                s.destination = Destination::skip;
                return;
            }
        }
        if (word == "bin") {
            const long length = parameter.value_or(0);
            if (length < 0 || static_cast<std::size_t>(length) > m_bytes.size() - m_pos)
                throw ConversionError::corruptFile("RTF \\bin data runs past the end of the file");
            m_pos += static_cast<std::size_t>(length);
            return;
        }
        if (s.destination == Destination::skip)
            return;
        if (skippedDestinations().count(word) != 0) {
            s.destination = Destination::skip;
            return;
        }
        if (s.destination == Destination::fontTable) {
            fontTableWord(word, parameter);
            return;
        }
        if (word == "u") {
            if (parameter)
                unicodeCharacter(*parameter);
            return;
        }
        if (skippingFallback())
            return;
        if (word == "par" || word == "sect" || word == "page")
            paragraph();
        else if (word == "line")
            lineBreak();
        else if (word == "tab" || word == "cell" || word == "nestcell")
            emitText("\t");
        else if (word == "row" || word == "nestrow")
            endRow();
        else if (word == "plain")
            resetCharacterFormat(s);
        else if (word == "pard")
            s.outlineLevel = -1;
        else if (word == "b")
            s.bold = n != 0;
        else if (word == "i")
            s.italic = n != 0;
        else if (word == "v")
            s.hidden = n != 0;
        else if (word == "fs") {
            if (n > 0)
                s.halfPoints = static_cast<int>(std::min<long>(n, rtf::kMaxHalfPoints));
        } else if (word == "f")
            s.font = static_cast<int>(n);
        else if (word == "uc")
            s.unicodeSkip = static_cast<int>(std::clamp<long>(n, 0, 16));
        else if (word == "outlinelevel")
            s.outlineLevel = static_cast<int>(n);
        else if (word == "deff")
            m_defaultFont = static_cast<int>(n);
        else if (word == "ansicpg")
            setCodePage(static_cast<int>(n));
        else if (word == "mac")
            setCodePage(10000);
        else if (word == "pc")
            setCodePage(437);
        else if (word == "pca")
            setCodePage(850);
        else if (word == "fonttbl")
            s.destination = Destination::fontTable;
        else if (word == "field") {
            m_fields.push_back({});
            s.field = static_cast<int>(m_fields.size()) - 1;
        } else if (word == "fldinst") {
            s.destination = s.field >= 0 ? Destination::fieldInstruction : Destination::skip;
        } else if (word == "fldrslt") {
            if (s.field >= 0) {
                const std::string target =
                    hyperlinkTarget(m_fields[static_cast<std::size_t>(s.field)].instruction);
                if (!target.empty())
                    s.link = target;
            }
        } else if (word == "emdash")
            emitText("\u2014");
        else if (word == "endash")
            emitText("\u2013");
        else if (word == "bullet")
            emitText("\u2022");
        else if (word == "lquote")
            emitText("\u2018");
        else if (word == "rquote")
            emitText("\u2019");
        else if (word == "ldblquote")
            emitText("\u201C");
        else if (word == "rdblquote")
            emitText("\u201D");
        else if (word == "emspace")
            emitText("\u2003");
        else if (word == "enspace")
            emitText("\u2002");
    }

    void fontTableWord(std::string_view word, std::optional<long> parameter) {
        if (word == "f") {
            if (m_fontEntry)
                finishFontEntry();
            m_fontEntry = static_cast<int>(parameter.value_or(0));
            m_fontName.clear();
            m_fonts[*m_fontEntry] = Font{};
        } else if (m_fontEntry && word == "fmodern") {
            m_fonts[*m_fontEntry].modern = true;
        } else if (m_fontEntry && word == "fcharset") {
            m_fonts[*m_fontEntry].charset = static_cast<int>(parameter.value_or(0));
        }
    }

    void finishFontEntry() {
        std::string_view name = trimmedSpaces(m_fontName);
        if (!name.empty() && name.back() == ';')
            name.remove_suffix(1);
        m_fonts[*m_fontEntry].name = std::string(trimmedSpaces(name));
        m_fontEntry.reset();
        m_fontName.clear();
    }

    void setCodePage(int codePage) {
        if (codePage > 0)
            m_codePage = codePage;
    }

    void resetCharacterFormat(GroupState& s) {
        s.font = m_defaultFont;
        s.halfPoints = rtf::kDefaultHalfPoints;
        s.bold = false;
        s.italic = false;
        s.hidden = false;
    }

    void unicodeCharacter(long value) {
        if (value < 0)
            value += 65536;
        const auto unit = static_cast<std::uint32_t>(value & 0xFFFF);
        m_skipCount = state().unicodeSkip;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            m_highSurrogate = unit;
            return;
        }
        std::uint32_t codePoint = unit;
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            if (!m_highSurrogate)
                return;
            codePoint = 0x10000 + ((*m_highSurrogate - 0xD800) << 10) + (unit - 0xDC00);
        }
        m_highSurrogate.reset();
        std::string utf8;
        appendUTF8(utf8, codePoint);
        emitText(utf8);
    }

    void textByte(char c) {
        if (skippingFallback() || state().destination == Destination::skip)
            return;
        if (state().destination == Destination::fontTable) {
            m_fontName += c;
            if (c == ';' && m_fontEntry)
                finishFontEntry();
            return;
        }
        m_pendingBytes += c;
    }

    // Decodes the bytes collected since the last control word in the current font's code page.
    void flushBytes() {
        if (m_pendingBytes.empty())
            return;
        std::string utf8;
        decoderFor(codePageOfCurrentFont()).decode(m_pendingBytes, utf8);
        m_pendingBytes.clear();
        emitText(utf8);
    }

    int codePageOfCurrentFont() {
        const auto font = m_fonts.find(state().font);
        if (font != m_fonts.end()) {
            if (font->second.charset == 2)
                return rtf::kDefaultCodePage; // symbol fonts: no code page
            if (const int page = rtf::codePageForCharset(font->second.charset))
                return page;
        }
        return m_codePage;
    }

    CodePageDecoder& decoderFor(int codePage) {
        auto& decoder = m_decoders[codePage];
        if (!decoder)
            decoder = std::make_unique<CodePageDecoder>(codePage);
        return *decoder;
    }

    TextAttributes attributes() {
        const GroupState& s = state();
        TextAttributes a;
        a.pointSize = s.halfPoints / 2.0;
        a.bold = s.bold;
        a.italic = s.italic;
        a.link = s.link;
        const auto font = m_fonts.find(s.font == -1 ? m_defaultFont : s.font);
        if (font != m_fonts.end()) {
            a.family = font->second.name;
            a.monospace = font->second.modern || isMonospaceFamily(font->second.name);
        }
        // An outline level marks a heading: sized as a word processor sizes headings.
        if (s.outlineLevel >= 0 && s.outlineLevel < static_cast<int>(kHeadingPointSizes.size())) {
            a.pointSize = kHeadingPointSizes[static_cast<std::size_t>(s.outlineLevel)];
            a.bold = true;
        }
        return a;
    }

    void emitText(std::string_view utf8) {
        GroupState& s = state();
        switch (s.destination) {
        case Destination::text:
            if (!s.hidden)
                m_text.append(utf8, attributes());
            break;
        case Destination::fieldInstruction:
            if (s.field >= 0)
                m_fields[static_cast<std::size_t>(s.field)].instruction.append(utf8);
            break;
        case Destination::fontTable: m_fontName.append(utf8); break;
        case Destination::skip: break;
        }
    }

    void paragraph() {
        if (state().destination != Destination::text)
            return;
        TextAttributes a = attributes();
        a.link.clear();
        m_text.append("\n", a);
    }

    void lineBreak() { paragraph(); }

    void endRow() {
        if (state().destination != Destination::text)
            return;
        m_text.trimTrailing("\t");
        paragraph();
    }

    std::string_view m_bytes;
    std::size_t m_pos = 0;
    std::vector<GroupState> m_groups;
    std::map<int, Font> m_fonts;
    std::optional<int> m_fontEntry;
    std::string m_fontName;
    int m_defaultFont = 0;
    int m_codePage = rtf::kDefaultCodePage;
    std::map<int, std::unique_ptr<CodePageDecoder>> m_decoders;
    std::string m_pendingBytes;
    int m_skipCount = 0;
    std::optional<std::uint32_t> m_highSurrogate;
    std::vector<Field> m_fields;
    RichText m_text;
};

} // namespace

RichText readRTF(std::string_view bytes) {
    return RTFReader(bytes).read();
}

} // namespace kv::richtext
