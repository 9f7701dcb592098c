// Reading "kelvane://host?name=value&…" URLs: scheme, host and percent-decoded query items.
#include "frontends/url_service/service_url.h"

#include "base/hex_digit.h"

#include <algorithm>
#include <cctype>

namespace kv {
namespace {

std::string lowerCased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// "+" stays a plus sign: these URLs are not form submissions.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = hexDigitValue(text[i + 1]);
        const int low = hexDigitValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

} // namespace

std::optional<std::string> ServiceUrl::item(std::string_view name) const {
    for (const auto& [key, value] : queryItems)
        if (key == name)
            return value;
    return std::nullopt;
}

std::optional<ServiceUrl> ServiceUrl::parse(std::string_view text) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
    ServiceUrl url;
    url.scheme = lowerCased(text.substr(0, colon));
    std::string_view rest = text.substr(colon + 1);
    if (const auto hash = rest.find('#'); hash != std::string_view::npos)
        rest = rest.substr(0, hash);
    std::string_view query;
    if (const auto question = rest.find('?'); question != std::string_view::npos) {
        query = rest.substr(question + 1);
        rest = rest.substr(0, question);
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const auto slash = rest.find('/');
        url.host = lowerCased(rest.substr(0, slash));
    }
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view part = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        if (part.empty())
            continue;
        const auto equals = part.find('=');
        const auto name = percentDecoded(part.substr(0, equals));
        const auto value = percentDecoded(
            equals == std::string_view::npos ? std::string_view{} : part.substr(equals + 1));
        if (!name || !value)
            return std::nullopt;
        url.queryItems.emplace_back(*name, *value);
    }
    return url;
}

std::string percentEncoded(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

} // namespace kv
