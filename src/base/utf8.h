// UTF-8 well-formedness, as RFC 3629 defines it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kv {

/// Whether `text` is well-formed UTF-8: no overlong forms, surrogates, values past U+10FFFF or
/// sequences cut short.
bool isValidUtf8(std::string_view text);
bool isValidUtf8(std::span<const std::uint8_t> bytes);

} // namespace kv
