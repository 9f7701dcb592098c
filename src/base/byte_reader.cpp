// Bounds-checked reading and writing of binary fields.
#include "base/byte_reader.h"

#include <cassert>

namespace kv {

std::uint64_t loadUnsigned(ByteSpan bytes, std::size_t offset, std::size_t width, Endian order) {
    assert(width >= 1 && width <= 8);
    if (offset > bytes.size() || width > bytes.size() - offset)
        throw ByteRangeError();
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const std::uint64_t byte = bytes[offset + i];
        if (order == Endian::big)
            value = value << 8 | byte;
        else
            value |= byte << (8 * i);
    }
    return value;
}

ByteReader::ByteReader(ByteSpan bytes, std::size_t offset) : m_bytes(bytes), m_offset(offset) {
    if (offset > bytes.size())
        throw ByteRangeError();
}

std::uint8_t ByteReader::u8() {
    if (m_offset >= m_bytes.size())
        throw ByteRangeError();
    return m_bytes[m_offset++];
}

std::uint64_t ByteReader::next(std::size_t width, Endian order) {
    const auto value = loadUnsigned(m_bytes, m_offset, width, order);
    m_offset += width;
    return value;
}

ByteSpan ByteReader::take(std::size_t n) {
    if (n > remaining())
        throw ByteRangeError();
    const auto part = m_bytes.subspan(m_offset, n);
    m_offset += n;
    return part;
}

std::string_view ByteReader::takeText(std::size_t n) {
    const auto part = take(n);
    return {reinterpret_cast<const char*>(part.data()), part.size()};
}

void ByteReader::seek(std::size_t offset) {
    if (offset > m_bytes.size())
        throw ByteRangeError();
    m_offset = offset;
}

void ByteWriter::append(std::string_view text) {
    const auto* first = reinterpret_cast<const std::uint8_t*>(text.data());
    m_bytes.insert(m_bytes.end(), first, first + text.size());
}

void ByteWriter::padTo(std::size_t alignment) {
    assert(alignment > 0);
    while (m_bytes.size() % alignment != 0)
        m_bytes.push_back(0);
}

void ByteWriter::put(std::uint64_t value, std::size_t width, Endian order) {
    m_bytes.resize(m_bytes.size() + width);
    patch(m_bytes.size() - width, value, width, order);
}

void ByteWriter::patch(std::size_t offset, std::uint64_t value, std::size_t width, Endian order) {
    assert(width >= 1 && width <= 8);
    if (offset > m_bytes.size() || width > m_bytes.size() - offset)
        throw ByteRangeError();
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t shift = order == Endian::big ? 8 * (width - 1 - i) : 8 * i;
        m_bytes[offset + i] = static_cast<std::uint8_t>((value >> shift) & 0xFFu);
    }
}

} // namespace kv
