// Table and subtitle checks, reading outputs back with the data converter's own parsers.
#include "base/mapped_file.h"
#include "base/text_file.h"
#include "base/utf8.h"
#include "data/delimited.h"
#include "data/json_parser.h"
#include "data/srt.h"
#include "data/webvtt.h"
#include "validate/validator.h"

#include <algorithm>
#include <optional>

namespace kv::Validator {
namespace {

// Notes the root's kind and whether it has any element, without building anything.
struct RootShape {
    int depth = 0;
    char root = 0;
    bool hasElement = false;
    void beginContainer(char open, std::size_t) {
        if (depth == 0)
            root = open;
        else if (depth == 1)
            hasElement = true;
        ++depth;
    }
    void endContainer(char, std::size_t) { --depth; }
    void key(std::string_view, bool) {}
    void scalar(DataConverter::JSONScalar, std::string_view, bool, std::size_t, std::size_t) {
        if (depth == 1)
            hasElement = true;
    }
};

} // namespace

ValidationStatus validateDelimited(const std::filesystem::path& file, char delimiter) {
    auto text = readUtf8File(file);
    if (!text)
        return ValidationStatus::failed("Delimited file not readable as UTF-8");
    const auto table = DataConverter::parseDelimited(std::move(*text), delimiter);
    if (table.rowCount() < 2) {
        return ValidationStatus::failed("Expected a header plus at least one row, got " +
                                        std::to_string(table.rowCount()));
    }
    const std::size_t columns = table.row(0).size();
    if (columns == 0)
        return ValidationStatus::failed("Header row has no columns");
    for (std::size_t r = 1; r < table.rowCount(); ++r) {
        const std::size_t cells = table.row(r).size();
        if (cells != columns) {
            return ValidationStatus::failed("Row " + std::to_string(r + 1) + " has " +
                                            std::to_string(cells) + " columns, header has " +
                                            std::to_string(columns));
        }
    }
    return ValidationStatus::passed();
}

ValidationStatus validateJSON(const std::filesystem::path& file) {
    const MappedFile mapped(file,
                            true); // JSON outputs run to hundreds of megabytes, read front to back
    if (!mapped.readable())
        return ValidationStatus::failed("JSON not readable");
    // Strict JSON is UTF-8; a byte-order mark is tolerated as RFC 8259 allows.
    std::string_view text = mapped.text();
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    RootShape shape;
    DataConverter::JSONParser parser(text, shape);
    if (!isValidUtf8(text) || !parser.parseDocument()) {
        return ValidationStatus::failed("Output is not valid JSON");
    }
    if (shape.root != '[')
        return ValidationStatus::failed("JSON root is not an array");
    if (!shape.hasElement)
        return ValidationStatus::failed("JSON array is empty");
    return ValidationStatus::passed();
}

ValidationStatus validateSubtitles(const std::filesystem::path& file, SupportedFormat format) {
    const auto text = readUtf8File(file);
    if (!text)
        return ValidationStatus::failed("Subtitle file not readable as UTF-8");
    std::vector<DataConverter::Cue> cues;
    if (format == SupportedFormat::vtt) {
        if (!text->starts_with("WEBVTT")) {
            return ValidationStatus::failed("WebVTT file must begin with the WEBVTT signature");
        }
        cues = DataConverter::parseVTT(*text);
    } else {
        cues = DataConverter::parseSRT(*text);
    }
    if (cues.empty())
        return ValidationStatus::failed("No cues parsed back from output");
    for (std::size_t n = 1; n <= cues.size(); ++n) {
        const auto& cue = cues[n - 1];
        if (cue.end < cue.start)
            return ValidationStatus::failed("Cue " + std::to_string(n) + " ends before it starts");
        if (cue.text.empty())
            return ValidationStatus::failed("Cue " + std::to_string(n) + " has no text");
    }
    if (cues.size() > 1 &&
        std::all_of(cues.begin(), cues.end(), [](const auto& cue) { return cue.start == 0; })) {
        return ValidationStatus::failed("Every cue starts at 00:00 \u2014 timings were lost");
    }
    return ValidationStatus::passed();
}

} // namespace kv::Validator
