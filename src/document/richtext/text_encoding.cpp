// ICU-backed decoding of document code pages.
#include "document/richtext/text_encoding.h"

#include <unicode/ucnv.h>
#include <unicode/unistr.h>
#include <vector>

namespace kv::richtext {

std::string latin1ToUTF8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (unsigned char c : bytes)
        appendUTF8(out, c);
    return out;
}

void appendUTF8(std::string& out, std::uint32_t c) {
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
        c = 0xFFFD;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

namespace {

UConverter* openConverter(const std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(name.c_str(), &status);
    if (U_FAILURE(status))
        return nullptr;
    return converter;
}

void decodeWith(UConverter* converter, std::string_view bytes, std::string& out) {
    if (bytes.empty())
        return;
    std::vector<UChar> units(bytes.size() * 2 + 4);
    UErrorCode status = U_ZERO_ERROR;
    ucnv_resetToUnicode(converter);
    const int32_t count = ucnv_toUChars(converter, units.data(), static_cast<int32_t>(units.size()),
                                        bytes.data(), static_cast<int32_t>(bytes.size()), &status);
    if (U_FAILURE(status)) {
        out += latin1ToUTF8(bytes);
        return;
    }
    icu::UnicodeString(false, units.data(), count).toUTF8String(out);
}

} // namespace

std::optional<std::string> decodeCharset(std::string_view bytes, std::string_view charset) {
    UConverter* converter = openConverter(std::string(charset));
    if (converter == nullptr)
        return std::nullopt;
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    // Decoded in pieces that end at a line feed so that the UTF-16 buffer stays small; none of the
    // ASCII-compatible code pages HTML declares splits a character there.
    constexpr std::size_t kPieceBytes = 1u << 20;
    const bool wide = charset.find("16") != std::string_view::npos ||
                      charset.find("32") != std::string_view::npos;
    while (!bytes.empty()) {
        std::size_t cut = bytes.size();
        if (cut > kPieceBytes && !wide) {
            const std::size_t lineEnd = bytes.rfind('\n', kPieceBytes);
            cut = lineEnd == std::string_view::npos ? bytes.size() : lineEnd + 1;
        }
        decodeWith(converter, bytes.substr(0, cut), out);
        bytes.remove_prefix(cut);
    }
    ucnv_close(converter);
    return out;
}

CodePageDecoder::CodePageDecoder(int codePage) : m_codePage(codePage) {
    if (codePage == 10000)
        m_converter = openConverter("macintosh");
    if (m_converter == nullptr)
        m_converter = openConverter("windows-" + std::to_string(codePage));
    if (m_converter == nullptr)
        m_converter = openConverter("cp" + std::to_string(codePage));
    if (m_converter == nullptr)
        m_converter = openConverter("ibm-" + std::to_string(codePage));
    if (m_converter == nullptr) {
        m_codePage = 1252;
        m_converter = openConverter("windows-1252");
    }
}

CodePageDecoder::~CodePageDecoder() {
    if (m_converter != nullptr)
        ucnv_close(m_converter);
}

void CodePageDecoder::decode(std::string_view bytes, std::string& out) {
    if (m_converter == nullptr) {
        out += latin1ToUTF8(bytes);
        return;
    }
    decodeWith(m_converter, bytes, out);
}

} // namespace kv::richtext
