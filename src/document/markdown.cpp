// Markdown renderer (fixed ICU regular expressions) and the rich-text Markdown writer.
#include "document/markdown.h"

#include "data/text_decoding.h"

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <unicode/regex.h>
#include <unicode/unistr.h>

namespace kv::DocumentConverter {
namespace {

using richtext::RichText;
using richtext::TextRun;

struct MarkdownStep {
    const char* pattern;
    const char* replacement;
};

// Applied in this order; none of them can match across a line end, so each line is rendered on
// its own with the same result as the whole text, and lines without a marker are skipped.
constexpr std::array<MarkdownStep, 6> kSteps{{
    {"(?m)^### (.+)$", "<h3>$1</h3>"},
    {"(?m)^## (.+)$", "<h2>$1</h2>"},
    {"(?m)^# (.+)$", "<h1>$1</h1>"},
    {"\\*\\*(.+?)\\*\\*", "<strong>$1</strong>"},
    {"\\*(.+?)\\*", "<em>$1</em>"},
    {"`(.+?)`", "<code>$1</code>"},
}};

class MarkdownPatterns {
  public:
    MarkdownPatterns() {
        for (std::size_t i = 0; i < kSteps.size(); ++i) {
            UErrorCode status = U_ZERO_ERROR;
            UParseError where{};
            m_patterns[i].reset(icu::RegexPattern::compile(
                icu::UnicodeString::fromUTF8(kSteps[i].pattern), 0, where, status));
            if (U_FAILURE(status))
                throw std::logic_error("bad Markdown pattern");
            m_replacements[i] = icu::UnicodeString::fromUTF8(kSteps[i].replacement);
        }
    }
    const icu::RegexPattern& pattern(std::size_t i) const { return *m_patterns[i]; }
    const icu::UnicodeString& replacement(std::size_t i) const { return m_replacements[i]; }

  private:
    std::array<std::unique_ptr<icu::RegexPattern>, kSteps.size()> m_patterns;
    std::array<icu::UnicodeString, kSteps.size()> m_replacements;
};

const MarkdownPatterns& patterns() {
    static const MarkdownPatterns shared; // compiled once; patterns are safe to share
    return shared;
}

bool isSpaceOrTab(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimSpacesAndTabs(std::string_view text) {
    while (!text.empty() && isSpaceOrTab(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpaceOrTab(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace

std::string escapeHTML(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

void appendMarkdownBody(std::string_view source, std::string& out) {
    const MarkdownPatterns& steps = patterns();
    std::array<std::unique_ptr<icu::RegexMatcher>, kSteps.size()> matchers;
    for (std::size_t i = 0; i < kSteps.size(); ++i) {
        UErrorCode status = U_ZERO_ERROR;
        matchers[i].reset(steps.pattern(i).matcher(status));
        if (U_FAILURE(status))
            throw std::runtime_error(u_errorName(status));
    }

    out.reserve(out.size() + source.size() + source.size() / 8 + 16);
    out += "<p>";
    const std::size_t bodyStart = out.size();
    std::string escaped;
    while (!source.empty()) {
        const std::size_t end = source.find('\n');
        const std::string_view line = source.substr(0, end);
        source.remove_prefix(end == std::string_view::npos ? source.size() : end + 1);
        escaped = escapeHTML(line);
        const bool heading = escaped.find('#') != std::string::npos;
        const bool emphasis = escaped.find('*') != std::string::npos;
        const bool code = escaped.find('`') != std::string::npos;
        if (heading || emphasis || code) {
            icu::UnicodeString text = icu::UnicodeString::fromUTF8(escaped);
            for (std::size_t i = 0; i < kSteps.size(); ++i) {
                if ((i < 3 && !heading) || ((i == 3 || i == 4) && !emphasis) || (i == 5 && !code))
                    continue;
                UErrorCode status = U_ZERO_ERROR;
                matchers[i]->reset(text);
                text = matchers[i]->replaceAll(steps.replacement(i), status);
                if (U_FAILURE(status))
                    throw std::runtime_error(u_errorName(status));
            }
            escaped.clear();
            text.toUTF8String(escaped);
        }
        out += escaped;
        if (end == std::string_view::npos)
            break;
        // Two line feeds in a row (an empty line after a line end) become a paragraph break; no
        // step above can produce a line feed, so this equals replacing them in the finished text.
        if (out.size() > bodyStart && out.back() == '\n') {
            out.pop_back();
            out += "</p><p>";
        } else {
            out += '\n';
        }
    }
    out += "</p>";
}

std::string markdownBody(std::string_view source) {
    std::string out;
    appendMarkdownBody(source, out);
    return out;
}

std::string escapeMarkdown(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        switch (c) {
        case '\\':
        case '`':
        case '*':
        case '_':
        case '[':
        case ']':
        case '<':
        case '>': out += '\\'; break;
        default: break;
        }
        out += c;
    }
    return out;
}

std::string headingPrefix(const RichText& text, std::size_t index, double bodySize) {
    const TextRun* run = text.runAt(index);
    if (run == nullptr)
        return {};
    switch (richtext::headingLevel(run->attributes, bodySize)) {
    case 1: return "#";
    case 2: return "##";
    case 3: return "###";
    default: return {};
    }
}

std::string inlineMarkdown(const RichText& text, std::size_t start, std::size_t length,
                           std::string_view fallback) {
    std::string out;
    for (const TextRun& run : text.runsIn(start, length)) {
        const std::string_view characters =
            std::string_view(text.string()).substr(run.start, run.length);
        const auto& font = run.attributes;
        std::string piece;
        if (font.monospace) {
            piece = "`" + std::string(characters) + "`";
        } else if (font.bold && font.italic) {
            piece = "***" + escapeMarkdown(characters) + "***";
        } else if (font.bold) {
            piece = "**" + escapeMarkdown(characters) + "**";
        } else if (font.italic) {
            piece = "*" + escapeMarkdown(characters) + "*";
        } else {
            piece = escapeMarkdown(characters);
        }
        if (!font.link.empty())
            piece = "[" + piece + "](" + font.link.str() + ")";
        out += piece;
    }
    return out.empty() ? std::string(fallback) : out;
}

std::string attributedStringToMarkdown(const RichText& text) {
    const std::string& plain = text.string();
    if (plain.empty())
        return {};
    const double bodySize = richtext::bodyPointSize(text);

    // Reserved generously once: pages never written to cost no memory, a regrowth costs a copy.
    std::string out;
    out.reserve(plain.size() * 2 + 64);
    std::size_t offset = 0;
    while (offset <= plain.size()) {
        std::size_t end = plain.find('\n', offset);
        if (end == std::string::npos)
            end = plain.size();
        std::size_t lineLength = end - offset;
        // A CR LF line end is one line end.
        if (lineLength > 0 && plain[offset + lineLength - 1] == '\r')
            --lineLength;
        const std::string_view line = std::string_view(plain).substr(offset, lineLength);
        const std::string_view trimmed = trimSpacesAndTabs(line);
        if (trimmed.empty()) {
            out += '\n';
        } else {
            const std::string prefix = headingPrefix(text, offset, bodySize);
            const std::string inlineText =
                inlineMarkdown(text, offset, std::min(lineLength, plain.size() - offset), trimmed);
            out += prefix.empty() ? inlineText : prefix + " " + inlineText;
            out += "\n\n";
        }
        offset = end + 1;
    }
    // Runs of more than two line feeds collapse to two, in place.
    std::size_t kept = 0;
    std::size_t feeds = 0;
    for (const char c : out) {
        feeds = c == '\n' ? feeds + 1 : 0;
        if (feeds <= 2)
            out[kept++] = c;
    }
    out.resize(kept);
    const std::string_view trimmed = DataConverter::trimWhitespaceAndNewlines(out);
    const std::size_t lead = static_cast<std::size_t>(trimmed.data() - out.data());
    const std::size_t length = trimmed.size();
    out.erase(0, lead);
    out.resize(length);
    out += '\n';
    return out;
}

namespace {

// The fence that opens a code block: up to three spaces, then three or more ` or ~.
std::string_view openingFence(std::string_view line) {
    std::size_t at = 0;
    while (at < line.size() && at < 3 && line[at] == ' ')
        ++at;
    if (at >= line.size() || (line[at] != '`' && line[at] != '~'))
        return {};
    std::size_t end = at;
    while (end < line.size() && line[end] == line[at])
        ++end;
    if (end - at < 3 || (line[at] == '`' && line.find('`', end) != std::string_view::npos))
        return {};
    return line.substr(at, end - at);
}

bool closesFence(std::string_view line, std::string_view fence) {
    std::size_t at = 0;
    while (at < line.size() && at < 3 && line[at] == ' ')
        ++at;
    std::size_t end = at;
    while (end < line.size() && line[end] == fence.front())
        ++end;
    if (end - at < fence.size())
        return false;
    while (end < line.size() && (line[end] == ' ' || line[end] == '\t' || line[end] == '\r'))
        ++end;
    return end == line.size();
}

// [text](url) as a link in escaped HTML, outside code elements; ![alt](src) as its alt text.
void appendWithLinks(std::string_view html, std::string& out) {
    std::size_t copied = 0;
    std::size_t at = 0;
    while ((at = html.find_first_of("[<", at)) != std::string_view::npos) {
        if (html[at] == '<') {
            if (html.substr(at, 6) == "<code>") {
                const std::size_t close = html.find("</code>", at);
                at = close == std::string_view::npos ? html.size() : close + 7;
            } else {
                ++at;
            }
            continue;
        }
        const std::size_t textEnd = html.find(']', at + 1);
        if (textEnd == std::string_view::npos || textEnd + 1 >= html.size() ||
            html[textEnd + 1] != '(') {
            ++at;
            continue;
        }
        const std::string_view text = html.substr(at + 1, textEnd - at - 1);
        const std::size_t urlEnd = html.find(')', textEnd + 2);
        const std::string_view url = urlEnd == std::string_view::npos
                                         ? std::string_view()
                                         : html.substr(textEnd + 2, urlEnd - textEnd - 2);
        if (text.empty() || text.find('[') != std::string_view::npos || url.empty() ||
            url.find_first_of(" \t\n\"<") != std::string_view::npos) {
            ++at;
            continue;
        }
        const bool image = at > copied && html[at - 1] == '!';
        out.append(html, copied, at - copied - (image ? 1 : 0));
        if (image) {
            out += text;
        } else {
            out += "<a href=\"";
            out += url;
            out += "\">";
            out += text;
            out += "</a>";
        }
        at = copied = urlEnd + 1;
    }
    out.append(html, copied);
}

} // namespace

std::string markdownPrintBody(std::string_view source) {
    std::string out;
    out.reserve(source.size() + source.size() / 4 + 64);
    std::string body;
    std::size_t segment = 0; // start of the Markdown not yet rendered
    std::size_t lineStart = 0;
    while (lineStart < source.size()) {
        std::size_t lineEnd = source.find('\n', lineStart);
        if (lineEnd == std::string_view::npos)
            lineEnd = source.size();
        const std::string_view fence = openingFence(source.substr(lineStart, lineEnd - lineStart));
        if (fence.empty()) {
            lineStart = lineEnd + 1;
            continue;
        }
        if (lineStart > segment) {
            body.clear();
            appendMarkdownBody(source.substr(segment, lineStart - segment), body);
            appendWithLinks(body, out);
        }
        // The code runs to the closing fence, or to the end of the text when there is none.
        std::size_t codeStart = std::min(lineEnd + 1, source.size());
        std::size_t codeEnd = source.size();
        std::size_t next = source.size();
        for (std::size_t line = codeStart; line < source.size();) {
            std::size_t end = source.find('\n', line);
            if (end == std::string_view::npos)
                end = source.size();
            if (closesFence(source.substr(line, end - line), fence)) {
                codeEnd = line;
                next = std::min(end + 1, source.size());
                break;
            }
            line = end + 1;
        }
        std::string_view code = source.substr(codeStart, codeEnd - codeStart);
        if (!code.empty() && code.back() == '\n')
            code.remove_suffix(1);
        out += "<pre>";
        out += escapeHTML(code);
        out += "</pre>";
        segment = lineStart = next;
    }
    if (segment < source.size()) {
        body.clear();
        appendMarkdownBody(source.substr(segment), body);
        appendWithLinks(body, out);
    }
    return out;
}

} // namespace kv::DocumentConverter
