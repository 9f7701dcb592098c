// The rich-text model.
#include "document/richtext/rich_text.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace kv::richtext {

namespace {

std::string_view trimmedSpaces(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

} // namespace

void RichText::append(std::string_view text, const TextAttributes& attributes) {
    if (text.empty())
        return;
    if (!m_runs.empty() && m_runs.back().attributes == attributes) {
        m_runs.back().length += text.size();
    } else {
        m_runs.push_back({m_text.size(), text.size(), attributes});
        // Strings equal to the previous run's share its copy, whoever made this one.
        if (m_runs.size() > 1) {
            const TextAttributes& previous = m_runs[m_runs.size() - 2].attributes;
            TextAttributes& added = m_runs.back().attributes;
            if (!added.family.empty() && added.family == previous.family)
                added.family = previous.family;
            if (!added.link.empty() && added.link == previous.link)
                added.link = previous.link;
        }
    }
    m_text.append(text);
}

void RichText::endParagraph() {
    TextAttributes attributes = m_runs.empty() ? TextAttributes{} : m_runs.back().attributes;
    attributes.link.clear(); // a paragraph mark is never part of a link
    append("\n", attributes);
}

void RichText::trimTrailing(std::string_view chars) {
    while (!m_text.empty() && chars.find(m_text.back()) != std::string_view::npos) {
        m_text.pop_back();
        if (--m_runs.back().length == 0)
            m_runs.pop_back();
    }
}

const TextRun* RichText::runAt(std::size_t index) const {
    if (index >= m_text.size())
        return nullptr;
    auto it = std::upper_bound(m_runs.begin(), m_runs.end(), index,
                               [](std::size_t i, const TextRun& run) { return i < run.start; });
    return it == m_runs.begin() ? nullptr : &*std::prev(it);
}

std::vector<TextRun> RichText::runsIn(std::size_t start, std::size_t length) const {
    std::vector<TextRun> clipped;
    const std::size_t end = std::min(start + length, m_text.size());
    auto it = std::upper_bound(m_runs.begin(), m_runs.end(), start,
                               [](std::size_t i, const TextRun& run) { return i < run.start; });
    if (it != m_runs.begin())
        --it;
    for (; it != m_runs.end() && it->start < end; ++it) {
        const std::size_t from = std::max(it->start, start);
        const std::size_t to = std::min(it->end(), end);
        if (from < to)
            clipped.push_back({from, to - from, it->attributes});
    }
    return clipped;
}

double bodyPointSize(const RichText& text) {
    std::map<double, std::size_t> counts;
    const TextAttributes* previous = nullptr;
    for (const TextRun& run : text.runs()) {
        if (previous == nullptr || !previous->sameFont(run.attributes))
            ++counts[run.attributes.pointSize];
        previous = &run.attributes;
    }
    double body = kBodyPointSize;
    std::size_t best = 0;
    for (const auto& [size, count] : counts) {
        if (count > best) {
            best = count;
            body = size;
        }
    }
    return body;
}

int headingLevel(const TextAttributes& font, double bodySize) {
    const double ratio = font.pointSize / std::max(bodySize, 1.0);
    if (ratio >= 1.8)
        return 1;
    if (ratio >= 1.4)
        return 2;
    if (ratio >= 1.15 && font.bold)
        return 3;
    return 0;
}

bool isMonospaceFamily(std::string_view family) {
    std::string lower(family);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    static constexpr std::string_view kMarks[] = {
        "mono",       "courier",       "consolas",    "menlo",    "monaco",      "lucida console",
        "typewriter", "andale",        "inconsolata", "fixedsys", "source code", "fira code",
        "sf mono",    "letter gothic", "cascadia",    "iosevka"};
    return std::any_of(std::begin(kMarks), std::end(kMarks), [&](std::string_view mark) {
        return lower.find(mark) != std::string::npos;
    });
}

// The target of a HYPERLINK field instruction: its first argument, or "#" + the \l bookmark.
std::string hyperlinkTarget(std::string_view instruction) {
    instruction = trimmedSpaces(instruction);
    constexpr std::string_view kKeyword = "HYPERLINK";
    if (instruction.size() < kKeyword.size())
        return {};
    for (std::size_t i = 0; i < kKeyword.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(instruction[i])) != kKeyword[i])
            return {};
    std::string_view rest = instruction.substr(kKeyword.size());
    std::string url;
    bool anchor = false;
    bool skipNext = false;
    while (true) {
        rest = trimmedSpaces(rest);
        if (rest.empty())
            break;
        std::string token;
        if (rest.front() == '"') {
            const std::size_t close = rest.find('"', 1);
            token = std::string(
                rest.substr(1, close == std::string_view::npos ? rest.npos : close - 1));
            rest.remove_prefix(close == std::string_view::npos ? rest.size() : close + 1);
        } else {
            const std::size_t end = rest.find_first_of(" \t");
            token = std::string(rest.substr(0, end));
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
            if (token.size() == 2 && token[0] == '\\') {
                if (token[1] == 'l')
                    anchor = true;
                else
                    skipNext = token[1] == 'o' || token[1] == 't';
                continue;
            }
        }
        if (skipNext) {
            skipNext = false;
            continue;
        }
        if (anchor)
            return "#" + token;
        if (url.empty())
            url = token;
    }
    return url;
}

} // namespace kv::richtext
