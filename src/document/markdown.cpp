// Markdown renderer (fixed ICU regular expressions) and the rich-text Markdown writer.
#include "document/markdown.h"

#include "data/text_decoding.h"

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

} // namespace kv::DocumentConverter
