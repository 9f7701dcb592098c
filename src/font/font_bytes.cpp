// The font code's byte cursors and output buffer.
#include "font/font_bytes.h"

#include "engine/conversion_error.h"

namespace kv::FontConverter {

ByteReader::ByteReader(ByteView d, std::size_t offset)
    : ByteReader(d, offset, "Unexpected end of font data.") {}

ByteReader::ByteReader(ByteView d, std::size_t offset, const char* endMessage)
    : m_reader(d, std::min(offset, d.size())), m_endMessage(endMessage) {
    if (offset > d.size())
        ended();
}

void ByteReader::ended() const {
    throw ConversionError::corruptFile(m_endMessage);
}

std::uint8_t ByteReader::u8() {
    try {
        return m_reader.u8();
    } catch (const ByteRangeError&) {
        ended();
    }
}

std::uint16_t ByteReader::u16() {
    try {
        return m_reader.u16be();
    } catch (const ByteRangeError&) {
        ended();
    }
}

std::uint32_t ByteReader::u32() {
    try {
        return m_reader.u32be();
    } catch (const ByteRangeError&) {
        ended();
    }
}

ByteView ByteReader::take(std::size_t n) {
    try {
        return m_reader.take(n);
    } catch (const ByteRangeError&) {
        ended();
    }
}

std::uint32_t ByteReader::uintBase128() {
    std::uint32_t value = 0;
    for (int i = 0; i < 5; ++i) {
        const auto byte = u8();
        // A leading zero group would make the encoding ambiguous.
        if (i == 0 && byte == 0x80)
            throw ConversionError::corruptFile("Malformed WOFF2 length field.");
        if (value & 0xFE000000u)
            throw ConversionError::corruptFile("WOFF2 length field overflows.");
        value = value << 7 | (byte & 0x7Fu);
        if ((byte & 0x80) == 0)
            return value;
    }
    throw ConversionError::corruptFile("WOFF2 length field too long.");
}

std::uint16_t ByteReader::read255UInt16() {
    constexpr std::uint8_t kWordCode = 253, kOneMoreByteCode2 = 254, kOneMoreByteCode1 = 255;
    constexpr unsigned kLowestUCode = 253;
    const auto code = u8();
    switch (code) {
    case kWordCode: return u16();
    case kOneMoreByteCode1: return static_cast<std::uint16_t>(u8() + kLowestUCode);
    case kOneMoreByteCode2: return static_cast<std::uint16_t>(u8() + kLowestUCode * 2);
    default: return code;
    }
}

Cursor::Cursor(ByteView d) : ByteReader(d, 0, "WOFF2 stream ended early.") {}

void ByteOut::uintBase128(std::uint32_t value) {
    int groups = 1;
    while (groups < 5 && (value >> (7 * groups)) != 0)
        ++groups;
    for (int i = groups - 1; i >= 0; --i) {
        auto byte = static_cast<std::uint8_t>((value >> (7 * i)) & 0x7F);
        if (i > 0)
            byte |= 0x80;
        u8(byte);
    }
}

} // namespace kv::FontConverter
