#include "base/byte_reader.h"

#include <array>
#include <gtest/gtest.h>
#include <limits>

namespace kv {
namespace {

TEST(ByteReader, ReadsBothByteOrdersAndStopsAtTheEnd) {
    const std::array<std::uint8_t, 7> data{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    ByteReader be(data);
    EXPECT_EQ(be.u16be(), 0x0102);
    EXPECT_EQ(be.u32be(), 0x03040506u);
    EXPECT_EQ(be.remaining(), 1u);
    EXPECT_THROW(be.u16be(), ByteRangeError);
    EXPECT_EQ(be.offset(), 6u) << "a failed read must not move the position";
    EXPECT_EQ(be.u8(), 0x07);
    EXPECT_TRUE(be.atEnd());
    EXPECT_THROW(be.u8(), ByteRangeError);

    ByteReader le(data);
    EXPECT_EQ(le.u16le(), 0x0201);
    EXPECT_EQ(le.u32le(), 0x06050403u);
    EXPECT_EQ(loadU32le(data, 3), 0x07060504u);
    EXPECT_EQ(loadU16be(data, 5), 0x0607);
}

TEST(ByteReader, OffsetsNearTheLimitOfSizeTDoNotWrapAround) {
    const std::array<std::uint8_t, 4> data{};
    EXPECT_THROW((void)loadU32be(data, 1), ByteRangeError);
    EXPECT_THROW((void)loadU32be(data, std::numeric_limits<std::size_t>::max() - 1),
                 ByteRangeError);
    ByteReader reader(data, 2);
    EXPECT_THROW((void)reader.take(std::numeric_limits<std::size_t>::max()), ByteRangeError);
    EXPECT_THROW(reader.seek(5), ByteRangeError);
    EXPECT_THROW(ByteReader(data, 5), ByteRangeError);
}

TEST(ByteWriter, WritesAndPatchesWhatTheReaderReadsBack) {
    ByteWriter out;
    out.u32be(0); // a length known only later
    out.u16le(0xBEEF);
    out.u24be(0x123456);
    out.append("ab");
    out.padTo(4);
    out.u64le(0x0102030405060708ull);
    out.patch(0, out.size(), 4, Endian::big);
    EXPECT_THROW(out.patch(out.size() - 2, 0, 4, Endian::big), ByteRangeError);

    ByteReader in(out.bytes());
    EXPECT_EQ(in.u32be(), out.size());
    EXPECT_EQ(in.u16le(), 0xBEEF);
    EXPECT_EQ(in.u24be(), 0x123456u);
    EXPECT_EQ(in.takeText(2), "ab");
    EXPECT_EQ(in.offset(), 11u); // 4 + 2 + 3 + 2 bytes
    in.seek(12);
    EXPECT_EQ(in.u64le(), 0x0102030405060708ull);
    EXPECT_TRUE(in.atEnd());
}

} // namespace
} // namespace kv
