// Big-endian byte cursors and an output buffer for the font containers.
#include "font/font_bytes.h"

#include "engine/conversion_error.h"

namespace kv::FontConverter {

std::uint8_t ByteReader::u8() {
    if (m_offset >= m_d.size()) throw ConversionError::corruptFile("Unexpected end of font data.");
    return m_d[m_offset++];
}

std::uint16_t ByteReader::u16() {
    const auto high = u8();
    return static_cast<std::uint16_t>(high << 8 | u8());
}

std::uint32_t ByteReader::u32() {
    const std::uint32_t high = u16();
    return high << 16 | u16();
}

std::uint32_t ByteReader::uintBase128() {
    std::uint32_t value = 0;
    for (int i = 0; i < 5; ++i) {
        const auto byte = u8();
        // A leading zero group would make the encoding ambiguous.
        if (i == 0 && byte == 0x80) throw ConversionError::corruptFile("Malformed WOFF2 length field.");
        if (value & 0xFE000000u) throw ConversionError::corruptFile("WOFF2 length field overflows.");
        value = value << 7 | (byte & 0x7Fu);
        if ((byte & 0x80) == 0) return value;
    }
    throw ConversionError::corruptFile("WOFF2 length field too long.");
}

void ByteReader::skip(std::size_t n) {
    if (n > m_d.size() - m_offset) throw ConversionError::corruptFile("Unexpected end of font data.");
    m_offset += n;
}

namespace {
[[noreturn]] void streamEnded() { throw ConversionError::corruptFile("WOFF2 stream ended early."); }
}  // namespace

std::uint8_t Cursor::u8() {
    if (m_offset >= m_d.size()) streamEnded();
    return m_d[m_offset++];
}

std::uint16_t Cursor::u16() {
    if (m_d.size() - m_offset < 2) streamEnded();
    const auto value = static_cast<std::uint16_t>(m_d[m_offset] << 8 | m_d[m_offset + 1]);
    m_offset += 2;
    return value;
}

ByteView Cursor::take(std::size_t n) {
    if (n > m_d.size() - m_offset) streamEnded();
    const auto part = m_d.subspan(m_offset, n);
    m_offset += n;
    return part;
}

std::uint16_t Cursor::read255UInt16() {
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

void ByteOut::u16(std::uint16_t value) {
    m_bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    m_bytes.push_back(static_cast<std::uint8_t>(value));
}

void ByteOut::u32(std::uint32_t value) {
    u16(static_cast<std::uint16_t>(value >> 16));
    u16(static_cast<std::uint16_t>(value));
}

void ByteOut::padTo4() {
    while (m_bytes.size() % 4 != 0) m_bytes.push_back(0);
}

void ByteOut::uintBase128(std::uint32_t value) {
    int groups = 1;
    while (groups < 5 && (value >> (7 * groups)) != 0) ++groups;
    for (int i = groups - 1; i >= 0; --i) {
        auto byte = static_cast<std::uint8_t>((value >> (7 * i)) & 0x7F);
        if (i > 0) byte |= 0x80;
        m_bytes.push_back(byte);
    }
}

}  // namespace kv::FontConverter
