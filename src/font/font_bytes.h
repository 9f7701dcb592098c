// The font code's byte cursors and output buffer: the shared bounds-checked reader and writer,
// with the font containers' messages and WOFF2's variable-length numbers.
#pragma once

#include "base/byte_reader.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kv::FontConverter {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

/// A big-endian read position over immutable bytes. Any read past the end throws corrupt
/// "Unexpected end of font data.".
class ByteReader {
  public:
    explicit ByteReader(ByteView d, std::size_t offset = 0);

    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    std::int16_t i16() { return static_cast<std::int16_t>(u16()); }
    /// The next `n` bytes, without copying.
    ByteView take(std::size_t n);
    void skip(std::size_t n) { (void)take(n); }
    /// WOFF2's variable-length UIntBase128 (at most five bytes, shortest form not enforced).
    std::uint32_t uintBase128();
    /// WOFF2's 255UInt16: one byte up to 252, or a marker byte and one or two more.
    std::uint16_t read255UInt16();

    std::size_t offset() const { return m_reader.offset(); }
    std::size_t size() const { return m_reader.size(); }
    std::size_t remaining() const { return m_reader.remaining(); }

  protected:
    ByteReader(ByteView d, std::size_t offset, const char* endMessage);

  private:
    [[noreturn]] void ended() const;

    kv::ByteReader m_reader;
    const char* m_endMessage;
};

/// A read position over one WOFF2 glyph stream; running dry throws corrupt
/// "WOFF2 stream ended early.".
class Cursor : public ByteReader {
  public:
    explicit Cursor(ByteView d);
};

/// A growable output buffer with the big-endian writers under the names the font code uses.
class ByteOut : public kv::ByteWriter {
  public:
    void u16(std::uint16_t value) { u16be(value); }
    void u32(std::uint32_t value) { u32be(value); }
    void i16(std::int16_t value) { i16be(value); }
    /// Zero bytes up to the next multiple of 4.
    void padTo4() { padTo(4); }
    /// UIntBase128 in its shortest form (a single 0x00 for zero).
    void uintBase128(std::uint32_t value);
};

/// `n` rounded up to a multiple of 4.
constexpr std::uint64_t paddedTo4(std::uint64_t n) {
    return (n + 3) & ~std::uint64_t{3};
}

} // namespace kv::FontConverter
