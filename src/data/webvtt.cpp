// WebVTT: reduced to SRT blocks for reading, written canonically.
#include "data/webvtt.h"

namespace kv::DataConverter {
namespace {

std::string_view trimmedForKeyword(std::string_view block) {
    while (!block.empty() &&
           (block.front() == ' ' || (block.front() >= '\t' && block.front() <= '\r'))) {
        block.remove_prefix(1);
    }
    return block;
}

} // namespace

std::vector<Cue> parseVTT(std::string_view input, SubtitleReadReport* report) {
    std::string text;
    text.reserve(input.size());
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '\r' && i + 1 < input.size() && input[i + 1] == '\n')
            continue;
        text.push_back(input[i]);
    }
    std::string_view rest = text;
    if (const auto signature = rest.find("WEBVTT"); signature != std::string_view::npos) {
        rest.remove_prefix(signature);
        const auto separator = rest.find("\n\n");
        if (separator != std::string_view::npos &&
            rest.substr(0, separator).find("-->") == std::string_view::npos) {
            rest.remove_prefix(separator + 2);
        }
    }
    std::string kept;
    kept.reserve(rest.size());
    std::size_t from = 0;
    for (;;) {
        const auto at = rest.find("\n\n", from);
        const std::string_view block =
            rest.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from);
        const std::string_view head = trimmedForKeyword(block);
        const bool blank = head.find_first_not_of(" \t\n\r\v\f") == std::string_view::npos;
        if (!blank && !head.starts_with("NOTE") && !head.starts_with("STYLE") &&
            !head.starts_with("REGION")) {
            if (!kept.empty())
                kept += "\n\n";
            kept += block;
        }
        if (at == std::string_view::npos)
            break;
        from = at + 2;
    }
    return parseSRT(kept, report);
}

std::string writeVTT(const std::vector<Cue>& cues) {
    std::string out = "WEBVTT\n\n";
    for (std::size_t n = 0; n < cues.size(); ++n) {
        if (n > 0)
            out += '\n';
        out += stamp(cues[n].start, false);
        out += " --> ";
        out += stamp(cues[n].end, false);
        out += '\n';
        out += cues[n].text;
        out += '\n';
    }
    return out;
}

} // namespace kv::DataConverter
