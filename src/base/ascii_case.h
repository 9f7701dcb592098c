// Lower case for ASCII letters only: tag names, schemes and keywords, whatever the locale.
#pragma once

#include <string>
#include <string_view>

namespace kv {

constexpr char lowerASCII(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string lowerASCII(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = lowerASCII(c);
    return out;
}

} // namespace kv
