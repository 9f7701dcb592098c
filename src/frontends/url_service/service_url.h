// Reading "kelvane://host?name=value&…" URLs: scheme, host and percent-decoded query items.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv {

struct ServiceUrl {
    std::string scheme;                                          ///< lower-cased
    std::string host;                                            ///< lower-cased
    std::vector<std::pair<std::string, std::string>> queryItems; ///< in order, percent-decoded

    /// The value of the first item called `name`, or none.
    std::optional<std::string> item(std::string_view name) const;

    /// None when the text has no "scheme:" or its percent escapes are broken.
    static std::optional<ServiceUrl> parse(std::string_view text);
};

/// Every byte outside A–Z a–z 0–9 - . _ ~ / as %XX: a path ready for a query value.
std::string percentEncoded(std::string_view text);

} // namespace kv
