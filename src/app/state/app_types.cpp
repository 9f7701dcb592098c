// Value types of the desktop state.
#include "app/state/app_types.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

namespace kv {
namespace {

using nlohmann::json;

// Recents store their date as seconds since 2001-01-01 00:00:00 UTC.
constexpr double kReferenceDateUnixSeconds = 978307200.0;

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const auto n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                       static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6)
            out += kBase64Alphabet[(n >> shift) & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2)
            n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += rest == 2 ? kBase64Alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    std::uint32_t buffer = 0;
    int bits = 0;
    std::size_t padding = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=') {
            if (i + 2 < text.size())
                return std::nullopt;
            ++padding;
            continue;
        }
        if (padding > 0)
            return std::nullopt;
        const auto at = kBase64Alphabet.find(c);
        if (at == std::string_view::npos)
            return std::nullopt;
        buffer = (buffer << 6) | static_cast<std::uint32_t>(at);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return out;
}

std::optional<Uuid> uuidFromString(std::string_view text) {
    Uuid id;
    std::size_t byte = 0;
    int half = 0;
    std::uint8_t value = 0;
    for (const char c : text) {
        if (c == '-')
            continue;
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0 || byte >= id.bytes.size())
            return std::nullopt;
        value = static_cast<std::uint8_t>(value << 4 | digit);
        if (++half == 2) {
            id.bytes[byte++] = value;
            half = 0;
            value = 0;
        }
    }
    if (byte != id.bytes.size())
        return std::nullopt;
    return id;
}

} // namespace

Toast Toast::make(Kind kind, std::string title, std::optional<std::string> detail) {
    return Toast{
        .id = Uuid::random(), .kind = kind, .title = std::move(title), .detail = std::move(detail)};
}

double toastDisplaySeconds(const Toast& toast) {
    std::istringstream words(toast.title + " " + toast.detail.value_or(""));
    std::size_t count = 0;
    for (std::string word; words >> word;)
        ++count;
    return std::clamp(static_cast<double>(count) * 0.28 + 1.5, 2.4, 8.0);
}

std::string encodeRecents(const std::vector<RecentJob>& recents) {
    json list = json::array();
    for (const auto& recent : recents) {
        const double seconds =
            std::chrono::duration<double>(recent.timestamp.time_since_epoch()).count() -
            kReferenceDateUnixSeconds;
        json item = {
            {"id", recent.id.toString()},
            {"sourcePath", recent.sourcePath},
            {"sourceFormatRaw", recent.sourceFormatRaw},
            {"targetFormatRaw", recent.targetFormatRaw},
            {"timestamp", seconds},
        };
        if (recent.bookmark)
            item["bookmark"] = base64Encode(*recent.bookmark);
        list.push_back(std::move(item));
    }
    return list.dump();
}

std::vector<RecentJob> decodeRecents(std::string_view text) {
    const json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_array())
        return {};
    std::vector<RecentJob> recents;
    for (const auto& item : parsed) {
        if (!item.is_object())
            return {};
        const auto field = [&](const char* key) { return item.find(key); };
        const auto id = field("id");
        const auto path = field("sourcePath");
        const auto source = field("sourceFormatRaw");
        const auto target = field("targetFormatRaw");
        const auto time = field("timestamp");
        if (id == item.end() || !id->is_string() || path == item.end() || !path->is_string() ||
            source == item.end() || !source->is_string() || target == item.end() ||
            !target->is_string() || time == item.end() || !time->is_number()) {
            return {};
        }
        const auto uuid = uuidFromString(id->get<std::string>());
        const double seconds = time->get<double>() + kReferenceDateUnixSeconds;
        if (!uuid || !std::isfinite(seconds))
            return {};
        RecentJob recent{
            .id = *uuid,
            .sourcePath = path->get<std::string>(),
            .sourceFormatRaw = source->get<std::string>(),
            .targetFormatRaw = target->get<std::string>(),
            .timestamp = std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::duration<double>(seconds))),
            .bookmark = std::nullopt,
        };
        if (const auto bookmark = field("bookmark");
            bookmark != item.end() && !bookmark->is_null()) {
            if (!bookmark->is_string())
                return {};
            recent.bookmark = base64Decode(bookmark->get<std::string>());
            if (!recent.bookmark)
                return {};
        }
        recents.push_back(std::move(recent));
    }
    return recents;
}

std::string_view rawValue(AppearanceMode mode) {
    return mode == AppearanceMode::dark ? "Dark" : "Light";
}

std::optional<AppearanceMode> appearanceModeFromRaw(std::string_view raw) {
    if (raw == "Dark")
        return AppearanceMode::dark;
    if (raw == "Light")
        return AppearanceMode::light;
    return std::nullopt;
}

const std::vector<AccentChoice>& allAccentChoices() {
    static const std::vector<AccentChoice> all{
        AccentChoice::paper, AccentChoice::silver, AccentChoice::graphite, AccentChoice::slate,
        AccentChoice::blue,  AccentChoice::indigo, AccentChoice::purple,   AccentChoice::pink,
        AccentChoice::red,   AccentChoice::orange, AccentChoice::green,    AccentChoice::teal,
        AccentChoice::custom};
    return all;
}

std::string_view rawValue(AccentChoice accent) {
    static constexpr std::array<std::string_view, 13> names{
        "paper", "silver", "graphite", "slate", "blue", "indigo", "purple",
        "pink",  "red",    "orange",   "green", "teal", "custom"};
    return names[static_cast<std::size_t>(accent)];
}

std::optional<AccentChoice> accentChoiceFromRaw(std::string_view raw) {
    for (const AccentChoice accent : allAccentChoices())
        if (rawValue(accent) == raw)
            return accent;
    return std::nullopt;
}

} // namespace kv
