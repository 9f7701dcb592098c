// Bounds-checked reading and writing of binary fields, big- and little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace kv {

using ByteSpan = std::span<const std::uint8_t>;

/// Thrown when a read would pass the end of its bytes. Callers catch it where they know the format
/// and turn it into their own message ("Unexpected end of font data.").
class ByteRangeError final : public std::out_of_range {
  public:
    ByteRangeError() : std::out_of_range("read past the end of the data") {}
};

enum class Endian { big, little };

/// An unsigned field of `width` bytes (1 to 8) at `offset`, checked against the end.
std::uint64_t loadUnsigned(ByteSpan bytes, std::size_t offset, std::size_t width, Endian order);

inline std::uint16_t loadU16be(ByteSpan b, std::size_t at) {
    return static_cast<std::uint16_t>(loadUnsigned(b, at, 2, Endian::big));
}
inline std::uint32_t loadU32be(ByteSpan b, std::size_t at) {
    return static_cast<std::uint32_t>(loadUnsigned(b, at, 4, Endian::big));
}
inline std::uint16_t loadU16le(ByteSpan b, std::size_t at) {
    return static_cast<std::uint16_t>(loadUnsigned(b, at, 2, Endian::little));
}
inline std::uint32_t loadU32le(ByteSpan b, std::size_t at) {
    return static_cast<std::uint32_t>(loadUnsigned(b, at, 4, Endian::little));
}

/// A read position over immutable bytes; every read checks the end and throws ByteRangeError.
class ByteReader {
  public:
    explicit ByteReader(ByteSpan bytes, std::size_t offset = 0);

    std::uint8_t u8();
    std::uint16_t u16be() { return static_cast<std::uint16_t>(next(2, Endian::big)); }
    std::uint32_t u24be() { return static_cast<std::uint32_t>(next(3, Endian::big)); }
    std::uint32_t u32be() { return static_cast<std::uint32_t>(next(4, Endian::big)); }
    std::uint64_t u64be() { return next(8, Endian::big); }
    std::uint16_t u16le() { return static_cast<std::uint16_t>(next(2, Endian::little)); }
    std::uint32_t u32le() { return static_cast<std::uint32_t>(next(4, Endian::little)); }
    std::uint64_t u64le() { return next(8, Endian::little); }
    std::int16_t i16be() { return static_cast<std::int16_t>(u16be()); }
    std::int32_t i32be() { return static_cast<std::int32_t>(u32be()); }
    /// An unsigned field of `width` bytes (1 to 8).
    std::uint64_t uint(std::size_t width, Endian order) { return next(width, order); }

    /// The next `n` bytes, without copying.
    ByteSpan take(std::size_t n);
    std::string_view takeText(std::size_t n);
    void skip(std::size_t n) { (void)take(n); }
    /// Moves to an absolute offset (at most the size).
    void seek(std::size_t offset);

    std::size_t offset() const { return m_offset; }
    std::size_t size() const { return m_bytes.size(); }
    std::size_t remaining() const { return m_bytes.size() - m_offset; }
    bool atEnd() const { return m_offset == m_bytes.size(); }
    ByteSpan bytes() const { return m_bytes; }

  private:
    std::uint64_t next(std::size_t width, Endian order);

    ByteSpan m_bytes;
    std::size_t m_offset;
};

/// A growable output buffer with fixed-width writers and in-place patching of earlier fields.
class ByteWriter {
  public:
    void u8(std::uint8_t value) { m_bytes.push_back(value); }
    void u16be(std::uint16_t value) { put(value, 2, Endian::big); }
    void u24be(std::uint32_t value) { put(value, 3, Endian::big); }
    void u32be(std::uint32_t value) { put(value, 4, Endian::big); }
    void u64be(std::uint64_t value) { put(value, 8, Endian::big); }
    void u16le(std::uint16_t value) { put(value, 2, Endian::little); }
    void u32le(std::uint32_t value) { put(value, 4, Endian::little); }
    void u64le(std::uint64_t value) { put(value, 8, Endian::little); }
    void i16be(std::int16_t value) { u16be(static_cast<std::uint16_t>(value)); }
    void append(ByteSpan bytes) { m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end()); }
    void append(std::string_view text);
    /// Zero bytes up to the next multiple of `alignment`.
    void padTo(std::size_t alignment);
    /// Overwrites a field written earlier (a length or offset known only later); checked.
    void patch(std::size_t offset, std::uint64_t value, std::size_t width, Endian order);
    void reserve(std::size_t n) { m_bytes.reserve(n); }

    std::size_t size() const { return m_bytes.size(); }
    const std::vector<std::uint8_t>& bytes() const { return m_bytes; }
    std::vector<std::uint8_t> take() { return std::move(m_bytes); }

  private:
    void put(std::uint64_t value, std::size_t width, Endian order);

    std::vector<std::uint8_t> m_bytes;
};

} // namespace kv
