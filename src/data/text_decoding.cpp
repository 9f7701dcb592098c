// Text decoding: our own fast UTF-8 check, ICU converters for everything else.
#include "data/text_decoding.h"

#include "base/utf8.h"
#include "engine/conversion_error.h"
#include "engine/source_file.h"
#include "platform/c_handle.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unicode/ucnv.h>

namespace kv::DataConverter {
namespace {

using Converter = CHandle<UConverter, &ucnv_close>;

Converter openStrict(const char* name) {
    UErrorCode status = U_ZERO_ERROR;
    Converter converter(ucnv_open(name, &status));
    if (U_FAILURE(status))
        return nullptr;
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &status);
    ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                          &status);
    return U_FAILURE(status) ? nullptr : std::move(converter);
}

// Converts the whole buffer to UTF-8, failing on the first byte sequence the encoding lacks.
std::optional<std::string> convertStrict(const char* encoding, std::string_view bytes) {
    const Converter source = openStrict(encoding);
    const Converter utf8 = openStrict("UTF-8");
    if (!source || !utf8)
        return std::nullopt;
    std::string out(bytes.size() + bytes.size() / 2 + 16, '\0');
    std::size_t used = 0;
    const char* in = bytes.data();
    const char* const inEnd = bytes.data() + bytes.size();
    UChar pivot[4096];
    UChar* pivotSource = pivot;
    UChar* pivotTarget = pivot;
    bool reset = true;
    for (;;) {
        char* target = out.data() + used;
        UErrorCode status = U_ZERO_ERROR;
        ucnv_convertEx(utf8.get(), source.get(), &target, out.data() + out.size(), &in, inEnd,
                       pivot, &pivotSource, &pivotTarget, pivot + 4096, reset, true, &status);
        reset = false;
        used = static_cast<std::size_t>(target - out.data());
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.resize(out.size() * 2);
            continue;
        }
        if (U_FAILURE(status))
            return std::nullopt;
        break;
    }
    out.resize(used);
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

} // namespace

std::optional<std::string> decodeText(std::string bytes) {
    const bool hasNul = bytes.find('\0') != std::string::npos;
    const bool utf8 = isValidUtf8(bytes);
    if (utf8 && !hasNul) {
        if (startsWith(bytes, "\xEF\xBB\xBF"))
            bytes.erase(0, 3);
        return bytes;
    }
    // Nearly any even-length byte string is "valid" UTF-16, so a Latin-1 file would come out as
    // CJK noise, and UTF-16 holding only ASCII is "valid" UTF-8 full of NULs. Text without a
    // byte-order mark is therefore taken as UTF-16 exactly when it holds NUL bytes, which 8-bit
    // text never does, in the byte order where those NULs sit.
    if (startsWith(bytes, "\xFE\xFF") || startsWith(bytes, "\xFF\xFE")) {
        if (auto text = convertStrict("UTF-16", bytes))
            return text;
    } else if (hasNul) {
        std::size_t evenNuls = 0;
        std::size_t oddNuls = 0;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == '\0')
                ++(i % 2 == 0 ? evenNuls : oddNuls);
        }
        const bool bigEndian = evenNuls >= oddNuls;
        for (const char* encoding :
             {bigEndian ? "UTF-16BE" : "UTF-16LE", bigEndian ? "UTF-16LE" : "UTF-16BE"}) {
            if (auto text = convertStrict(encoding, bytes))
                return text;
        }
    }
    if (utf8)
        return bytes;
    for (const char* encoding : {"windows-1252", "ISO-8859-1"}) {
        if (auto text = convertStrict(encoding, bytes))
            return text;
    }
    return std::nullopt;
}

std::string readText(const std::filesystem::path& file) {
    auto text = decodeText(readSourceFile(file));
    if (!text)
        throw ConversionError::corruptFile("Could not decode text in " + file.filename().string());
    return std::move(*text);
}

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
    static const std::string_view kWide[] = {"\u0085", "\u00A0", "\u1680", "\u2000", "\u2001",
                                             "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
                                             "\u2007", "\u2008", "\u2009", "\u200A", "\u2028",
                                             "\u2029", "\u202F", "\u205F", "\u3000"};
    const auto narrow = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    bool changed = true;
    while (changed && !text.empty()) {
        changed = false;
        if (narrow(text.front())) {
            text.remove_prefix(1);
            changed = true;
            continue;
        }
        if (narrow(text.back())) {
            text.remove_suffix(1);
            changed = true;
            continue;
        }
        for (std::string_view wide : kWide) {
            if (text.starts_with(wide)) {
                text.remove_prefix(wide.size());
                changed = true;
                break;
            }
            if (text.ends_with(wide)) {
                text.remove_suffix(wide.size());
                changed = true;
                break;
            }
        }
    }
    return text;
}

} // namespace kv::DataConverter
