// Byte counts and durations as people read them.
#pragma once

#include <cstdint>
#include <string>

namespace kv {

/// A byte count in decimal units: "Zero KB", "1 byte", "12 KB", "1.2 MB", "2.15 GB".
std::string formatByteCount(std::int64_t bytes);

/// Seconds with one decimal, as in "Completed in 1.2s".
std::string formatSeconds1(double seconds);

/// A number with a fixed count of decimals ("%.Nf"), locale-independent.
std::string formatFixed(double value, int decimals);

/// A double as a person reads it: whole numbers with one decimal ("10.0"), others in their
/// shortest exact form ("12.5", "7.25"); "nan", "inf", "-inf".
std::string formatDecimal(double value);

} // namespace kv
