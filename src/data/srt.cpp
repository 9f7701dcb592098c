// SRT cues and timestamps.
#include "data/srt.h"

#include "data/text_decoding.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

namespace kv::DataConverter {
namespace {

// 2^63: beyond this a time does not fit the integer fields of a timestamp.
constexpr double kMaxStampSeconds = 9223372036854775807.0;

std::string_view trimSpacesAndTabs(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// A complete C-locale floating-point literal, as strtod reads it, with no leading whitespace.
std::optional<double> parseDouble(std::string_view piece) {
    if (piece.empty() || std::isspace(static_cast<unsigned char>(piece.front())))
        return std::nullopt;
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    const std::string copy(piece); // strtod needs a terminator
    char* end = nullptr;
    const double value = strtod_l(copy.c_str(), &end, cLocale);
    if (end != copy.c_str() + copy.size())
        return std::nullopt;
    return value;
}

std::optional<int> parseInteger(std::string_view text) {
    const bool plus = !text.empty() && text.front() == '+';
    if (plus)
        text.remove_prefix(1);
    if (text.empty() || text.front() == '+' || (plus && text.front() == '-'))
        return std::nullopt;
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::vector<std::string_view> splitAll(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> parts;
    std::size_t from = 0;
    for (std::size_t at = text.find(separator); at != std::string_view::npos;
         at = text.find(separator, from)) {
        parts.push_back(text.substr(from, at - from));
        from = at + separator.size();
    }
    parts.push_back(text.substr(from));
    return parts;
}

} // namespace

std::optional<double> parseTimestamp(std::string_view field) {
    std::string text(trimSpacesAndTabs(field));
    for (char& c : text) {
        if (c == ',')
            c = '.';
    }
    std::string_view first;
    for (std::string_view piece : splitAll(text, " ")) {
        if (!piece.empty()) {
            first = piece;
            break;
        }
    }
    std::vector<std::string_view> pieces;
    for (std::string_view piece : splitAll(first, ":")) {
        if (!piece.empty())
            pieces.push_back(piece);
    }
    if (pieces.empty())
        return std::nullopt;
    const auto seconds = parseDouble(pieces.back());
    if (!seconds)
        return std::nullopt;
    double total = *seconds;
    const std::size_t n = pieces.size();
    if (n >= 2) {
        if (const auto minutes = parseDouble(pieces[n - 2]))
            total += *minutes * 60;
    }
    if (n >= 3) {
        if (const auto hours = parseDouble(pieces[n - 3]))
            total += *hours * 3600;
    }
    return total;
}

std::string stamp(double seconds, bool srt) {
    const double t =
        std::isfinite(seconds) && seconds > 0 && seconds < kMaxStampSeconds ? seconds : 0.0;
    auto whole = static_cast<std::int64_t>(std::trunc(t));
    auto millis = static_cast<std::int64_t>(std::llround((t - static_cast<double>(whole)) * 1000));
    if (millis >= 1000) { // 1.9996 s rounds up to the next whole second
        whole += 1;
        millis -= 1000;
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld%c%03lld",
                  static_cast<long long>(whole / 3600), static_cast<long long>(whole % 3600 / 60),
                  static_cast<long long>(whole % 60), srt ? ',' : '.',
                  static_cast<long long>(millis));
    return buffer;
}

std::vector<Cue> parseSRT(std::string_view input, SubtitleReadReport* report) {
    std::string text;
    text.reserve(input.size());
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '\r' && i + 1 < input.size() && input[i + 1] == '\n')
            continue;
        text.push_back(input[i]);
    }
    std::string_view body = text;
    constexpr std::string_view kBOM = "\xEF\xBB\xBF";
    while (body.starts_with(kBOM))
        body.remove_prefix(kBOM.size());
    while (body.ends_with(kBOM))
        body.remove_suffix(kBOM.size());

    std::vector<Cue> cues;
    std::size_t blockNumber = 0;
    for (std::string_view block : splitAll(body, "\n\n")) {
        ++blockNumber;
        const auto lines = splitAll(block, "\n");
        std::size_t arrow = lines.size();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].find("-->") != std::string_view::npos) {
                arrow = i;
                break;
            }
        }
        std::optional<double> start;
        std::optional<double> end;
        if (lines.size() >= 2 && arrow < lines.size()) {
            const auto times = splitAll(lines[arrow], "-->");
            if (times.size() == 2) {
                start = parseTimestamp(times[0]);
                end = parseTimestamp(times[1]);
            }
        }
        if (!start || !end) {
            if (report && !trimWhitespaceAndNewlines(block).empty() &&
                report->skippedBlocks++ == 0) {
                report->firstSkippedBlock = blockNumber;
            }
            continue;
        }
        int index = static_cast<int>(cues.size()) + 1;
        if (arrow > 0) {
            if (const auto number = parseInteger(trimSpacesAndTabs(lines[arrow - 1])))
                index = *number;
        }
        const std::size_t textBegin =
            static_cast<std::size_t>(lines[arrow].data() - block.data()) + lines[arrow].size() + 1;
        const std::string_view cueText = textBegin < block.size()
                                             ? trimWhitespaceAndNewlines(block.substr(textBegin))
                                             : std::string_view();
        if (cueText.empty())
            continue; // a timing without text carries nothing
        cues.push_back({index, *start, *end, std::string(cueText)});
    }
    return cues;
}

std::string writeSRT(const std::vector<Cue>& cues) {
    std::string out;
    for (std::size_t n = 0; n < cues.size(); ++n) {
        if (n > 0)
            out += '\n';
        out += std::to_string(n + 1);
        out += '\n';
        out += stamp(cues[n].start, true);
        out += " --> ";
        out += stamp(cues[n].end, true);
        out += '\n';
        out += cues[n].text;
        out += '\n';
    }
    return out;
}

} // namespace kv::DataConverter
