// Big-endian byte cursors and an output buffer for the font containers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kv::FontConverter {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

/// A read position over immutable bytes. Any read past the end throws corrupt
/// "Unexpected end of font data.".
class ByteReader {
public:
    explicit ByteReader(ByteView d, std::size_t offset = 0) : m_d(d), m_offset(offset) {}

    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    /// WOFF2's variable-length UIntBase128 (at most five bytes, shortest form not enforced).
    std::uint32_t uintBase128();
    void skip(std::size_t n);

    std::size_t offset() const { return m_offset; }
    std::size_t size() const { return m_d.size(); }

private:
    ByteView m_d;
    std::size_t m_offset;
};

/// A read position over one WOFF2 glyph stream; running dry throws corrupt
/// "WOFF2 stream ended early.".
class Cursor {
public:
    explicit Cursor(ByteView d) : m_d(d) {}

    std::uint8_t u8();
    std::uint16_t u16();
    std::int16_t i16() { return static_cast<std::int16_t>(u16()); }
    /// The next `n` bytes, without copying.
    ByteView take(std::size_t n);
    /// WOFF2's 255UInt16: one byte up to 252, or a marker byte and one or two more.
    std::uint16_t read255UInt16();

    std::size_t offset() const { return m_offset; }
    std::size_t remaining() const { return m_d.size() - m_offset; }

private:
    ByteView m_d;
    std::size_t m_offset = 0;
};

/// A growable output buffer with big-endian writers.
class ByteOut {
public:
    void u8(std::uint8_t value) { m_bytes.push_back(value); }
    void u16(std::uint16_t value);
    /// Written as two u16, high half first.
    void u32(std::uint32_t value);
    void i16(std::int16_t value) { u16(static_cast<std::uint16_t>(value)); }
    void append(ByteView bytes) { m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end()); }
    /// Zero bytes up to the next multiple of 4.
    void padTo4();
    /// UIntBase128 in its shortest form (a single 0x00 for zero).
    void uintBase128(std::uint32_t value);
    void reserve(std::size_t n) { m_bytes.reserve(n); }

    std::size_t size() const { return m_bytes.size(); }
    const Bytes& bytes() const { return m_bytes; }
    Bytes take() { return std::move(m_bytes); }

private:
    Bytes m_bytes;
};

/// `n` rounded up to a multiple of 4.
constexpr std::uint64_t paddedTo4(std::uint64_t n) { return (n + 3) & ~std::uint64_t{3}; }

}  // namespace kv::FontConverter
