// GZIP framing, bzip2 and xz: magic, limits and damaged streams.
#include "archive/bzip2_codec.h"
#include "archive/gzip_codec.h"
#include "archive/xz_codec.h"
#include "archive_fixtures.h"
#include "base/size_text.h"
#include "engine/conversion_error.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <zlib.h>

namespace kv::test {
namespace {

using namespace ArchiveConverter;

std::string sampleText() {
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += "line " + std::to_string(i * 7919 % 10007) + " of the sample\n";
    return text;
}

TEST(GzipCodec, RoundTripAndHeaderLayout) {
    const std::string text = sampleText();
    const Bytes gz = compressGzip(asBytes(text));
    EXPECT_EQ(toString(gz).substr(0, 10), std::string("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10));
    EXPECT_EQ(toString(decompressGzip(gz)), text);
    EXPECT_EQ(crc32Checksum(asBytes("123456789")), 0xCBF43926u); // the CRC-32 check value
}

TEST(GzipCodec, LargeInputsJoinTwoStreamsThatZlibReads) {
    std::string data = sampleText();
    while (data.size() < (9u << 20))
        data += data.substr(0, 1 << 20) + std::to_string(data.size());
    for (std::size_t i = 0; i < data.size(); i += 3)
        data[i] = static_cast<char>(data[i] ^ (i * 2654435761u >> 13));
    const Bytes gz = compressGzip(asBytes(data));
    EXPECT_EQ(toString(decompressGzip(gz)), data);
    // zlib, an independent inflater, reads the joined stream and its trailer.
    std::string back(data.size() + 1, '\0');
    z_stream z{};
    ASSERT_EQ(inflateInit2(&z, 31), Z_OK);
    z.next_in = const_cast<Bytef*>(gz.data());
    z.avail_in = static_cast<uInt>(gz.size());
    z.next_out = reinterpret_cast<Bytef*>(back.data());
    z.avail_out = static_cast<uInt>(back.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(z.total_out, data.size());
    inflateEnd(&z);
    back.resize(data.size());
    EXPECT_EQ(back, data);
}

TEST(GzipCodec, DamageIsReportedWithItsMessage) {
    EXPECT_EQ(corruptMessage([] { decompressGzip(asBytes("\x1f\x8b\x08")); }),
              "File appears corrupt: GZIP data too short");
    EXPECT_EQ(corruptMessage([] { decompressGzip(asBytes("PK\x03\x04......")); }),
              "File appears corrupt: Not a valid GZIP file");
    EXPECT_EQ(corruptMessage([] {
                  decompressGzip(asBytes(std::string("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x05", 11)));
              }),
              "File appears corrupt: GZIP header truncated (FEXTRA)");
    EXPECT_EQ(corruptMessage([] {
                  decompressGzip(asBytes(std::string("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10) +
                                         std::string(8, '\0')));
              }),
              "File appears corrupt: GZIP no compressed data after header");
    Bytes gz = compressGzip(asBytes(sampleText()));
    Bytes flipped = gz;
    flipped[gz.size() / 2] ^= 0x55;
    const std::string message = corruptMessage([&] { decompressGzip(flipped); });
    EXPECT_TRUE(message == "File appears corrupt: Cannot decompress data" ||
                message ==
                    "File appears corrupt: GZIP checksum mismatch \u2014 the data is damaged")
        << message;
    for (std::size_t n = 0; n < gz.size(); n += 97) {
        try {
            (void)decompressGzip(ByteView(gz).first(n));
        } catch (const ConversionError& e) {
            EXPECT_EQ(e.kind(), ConversionError::Kind::corruptFile);
        }
    }
}

TEST(GzipCodec, UnknownLengthStillInflates) {
    const std::string text(1 << 20, 'q'); // shrinks ~1000:1, far beyond the 4x hint
    Bytes gz = compressGzip(asBytes(text));
    std::fill(gz.end() - 4, gz.end(), 0); // ISIZE 0
    EXPECT_EQ(toString(decompressGzip(gz)), text);
}

TEST(GzipCodec, ConcatenatedMembersFormOneFile) {
    Bytes gz = compressGzip(asBytes("first "));
    const Bytes second = compressGzip(asBytes("second"));
    gz.insert(gz.end(), second.begin(), second.end());
    EXPECT_EQ(toString(decompressGzip(gz)), "first second");
}

TEST(Bzip2Codec, RoundTripMagicAndLimit) {
    if (!BZip2::available())
        GTEST_SKIP() << "libbz2 is not installed";
    const std::string text = sampleText();
    const Bytes bz = BZip2::compress(asBytes(text), 9);
    EXPECT_TRUE(BZip2::isBZip2(bz));
    EXPECT_EQ(toString(BZip2::decompress(bz, text.size())), text); // exactly the limit is allowed
    EXPECT_EQ(corruptMessage([&] { BZip2::decompress(bz, text.size() - 1); }),
              "File appears corrupt: bzip2 contents exceed the " +
                  formatByteCount(static_cast<std::int64_t>(text.size() - 1)) + " limit");
    EXPECT_FALSE(BZip2::isBZip2(asBytes("BZh0rest")));
    EXPECT_EQ(corruptMessage([] { BZip2::decompress(asBytes("BZh0rest"), 100); }),
              "File appears corrupt: Not a bzip2 stream (bad magic)");
    Bytes cut(bz.begin(), bz.begin() + static_cast<std::ptrdiff_t>(bz.size() / 2));
    EXPECT_EQ(corruptMessage([&] {
                  BZip2::decompress(cut, 1u << 30);
              }).rfind("File appears corrupt: bzip2 decompression failed (code ", 0),
              0u);
}

TEST(XzCodec, RoundTripMagicAndLimit) {
    const std::string text = sampleText();
    const Bytes xz = XZCodec::compress(asBytes(text));
    EXPECT_TRUE(XZCodec::isXZ(xz));
    EXPECT_EQ(toString(XZCodec::decompress(xz, text.size())), text);
    EXPECT_EQ(corruptMessage([&] { XZCodec::decompress(xz, text.size() - 1); }),
              "File appears corrupt: xz contents exceed the " +
                  formatByteCount(static_cast<std::int64_t>(text.size() - 1)) + " limit");
    EXPECT_EQ(corruptMessage([] {
                  XZCodec::decompress(asBytes("\xfd"
                                              "7zXZ"),
                                      100);
              }),
              "File appears corrupt: Not an xz stream (bad magic)");
}

TEST(XzCodec, DamageFailsAtTheFirstErrorWithoutGrowing) {
    const std::string text = sampleText();
    Bytes xz = XZCodec::compress(asBytes(text));
    xz[xz.size() / 2] ^= 0x40;
    const auto start = std::chrono::steady_clock::now();
    const std::string message = corruptMessage([&] { XZCodec::decompress(xz, kMaxArchiveBytes); });
    EXPECT_EQ(message.find("exceed"), std::string::npos) << message;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    const Bytes cut(xz.begin(), xz.begin() + 100);
    EXPECT_EQ(corruptMessage([&] { XZCodec::decompress(cut, kMaxArchiveBytes); }),
              "File appears corrupt: xz data is truncated");
}

} // namespace
} // namespace kv::test
