// Byte encodings met in documents, decoded to UTF-8 through ICU's converters.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct UConverter;

namespace kv::richtext {

/// Each byte as the code point of the same value.
std::string latin1ToUTF8(std::string_view bytes);

/// Appends `codePoint` as UTF-8; surrogates and values past U+10FFFF become U+FFFD.
void appendUTF8(std::string& out, std::uint32_t codePoint);

/// Decodes `bytes` in the ICU-named `charset`; nothing when ICU does not know the name.
std::optional<std::string> decodeCharset(std::string_view bytes, std::string_view charset);

/// One open ICU converter, for decoding many small pieces in one code page.
class CodePageDecoder {
  public:
    /// Windows code page `codePage` (1252, 932, 1251, …); unknown pages fall back to 1252.
    explicit CodePageDecoder(int codePage);
    ~CodePageDecoder();
    CodePageDecoder(const CodePageDecoder&) = delete;
    CodePageDecoder& operator=(const CodePageDecoder&) = delete;

    int codePage() const { return m_codePage; }
    /// Appends the UTF-8 of `bytes` to `out`; undecodable bytes become U+FFFD.
    void decode(std::string_view bytes, std::string& out);

  private:
    int m_codePage;
    UConverter* m_converter = nullptr;
};

} // namespace kv::richtext
