// Random (version 4) UUIDs for job ids, log entries and temporary names.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kv {

struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    /// A fresh random UUID.
    static Uuid random();
    /// Canonical upper-case text, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    std::string toString() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

} // namespace kv
