// Byte counts and durations as people read them.
#include "base/size_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace kv {

std::string formatFixed(double value, int decimals) {
    std::array<char, 64> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%.*f", decimals, value);
    return buffer.data();
}

std::string formatSeconds1(double seconds) {
    return formatFixed(seconds, 1);
}

std::string formatDecimal(double value) {
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value > 0 ? "inf" : "-inf";
    if (value == std::floor(value) && std::fabs(value) < 1e15)
        return formatFixed(value, 1);
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), result.ptr);
}

namespace {

struct Unit {
    const char* name;
    double divisor;
    int decimals;
};

// Decimal units; kB is written "KB" with no decimals, MB with one, GB and TB with two.
constexpr std::array<Unit, 4> kUnits{{
    {"KB", 1e3, 0},
    {"MB", 1e6, 1},
    {"GB", 1e9, 2},
    {"TB", 1e12, 2},
}};

// Rounds half up at the given number of decimals.
double roundHalfUp(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::floor(value * scale + 0.5) / scale;
}

} // namespace

std::string formatByteCount(std::int64_t bytes) {
    if (bytes == 0)
        return "Zero KB";
    const bool negative = bytes < 0;
    const double magnitude = std::fabs(static_cast<double>(bytes));
    const std::string sign = negative ? "-" : "";
    if (magnitude < 1000.0) {
        const auto whole = static_cast<long long>(magnitude);
        return sign + std::to_string(whole) + (whole == 1 ? " byte" : " bytes");
    }
    std::size_t index = 0;
    while (index + 1 < kUnits.size() && magnitude >= kUnits[index + 1].divisor)
        ++index;
    double shown = roundHalfUp(magnitude / kUnits[index].divisor, kUnits[index].decimals);
    // 999,600 bytes rounds to 1,000 KB: say "1 MB" instead.
    if (shown >= 1000.0 && index + 1 < kUnits.size()) {
        ++index;
        shown = roundHalfUp(magnitude / kUnits[index].divisor, kUnits[index].decimals);
    }
    return sign + formatFixed(shown, kUnits[index].decimals) + " " + kUnits[index].name;
}

} // namespace kv
