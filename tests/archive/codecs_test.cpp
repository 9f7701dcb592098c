// GZIP framing, bzip2 and xz: magic, limits and damaged streams.
#include "archive/bzip2_codec.h"
#include "archive/gzip_codec.h"
#include "archive/xz_codec.h"
#include "archive_fixtures.h"
#include "base/size_text.h"
#include "engine/conversion_error.h"
#include "platform/dynamic_library.h"
#include "support/test_support.h"

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

TEST(GzipCodec, HeaderAndLengthChecks) {
    const Bytes good = compressGzip(asBytes(sampleText()));
    const auto damaged = [&](std::size_t at, std::uint8_t value) {
        Bytes bad = good;
        bad[at] = value;
        return corruptMessage([&] { decompressGzip(bad); });
    };
    EXPECT_EQ(damaged(2, 7),
              "File appears corrupt: GZIP compression method 7 is not DEFLATE \u2014 the file is "
              "damaged");
    EXPECT_EQ(damaged(3, 0x20),
              "File appears corrupt: GZIP header sets reserved flags \u2014 the file is damaged");
    // ISIZE zero, or one off: gzip -t calls both a length error.
    const std::string lengthError = "File appears corrupt: GZIP length field does not match the "
                                    "data \u2014 the file is damaged";
    Bytes zeroed = good;
    std::fill(zeroed.end() - 4, zeroed.end(), 0);
    EXPECT_EQ(corruptMessage([&] { decompressGzip(zeroed); }), lengthError);
    EXPECT_EQ(damaged(good.size() - 4, static_cast<std::uint8_t>(good[good.size() - 4] + 1)),
              lengthError);
}

TEST(GzipCodec, SizeLimitIsReportedLikeXzAndBzip2AndPayloadIsHeldOnce) {
    const std::string zeros(8u << 20, '\0');
    const Bytes gz = compressGzip(asBytes(zeros));
    EXPECT_EQ(corruptMessage([&] { decompressGzip(gz, 4u << 20); }),
              "File appears corrupt: gzip contents exceed the " + formatByteCount(4 << 20) +
                  " limit");
    const Bytes back = decompressGzip(gz, 8u << 20); // exactly the limit is fine
    EXPECT_EQ(back.size(), zeros.size());
    // Reserved once from ISIZE: no growth, no spare copy.
    EXPECT_EQ(back.capacity(), back.size());
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

// Several bzip2 blocks of text, runs of every length around the run-length limits and binary
// noise, so that block boundaries fall inside and beside runs.
std::string multiBlockData() {
    std::string data;
    while (data.size() < (1200u << 10))
        data += sampleText();
    std::uint32_t state = 12345;
    const auto next = [&] { return state = state * 1103515245u + 12345u; };
    while (data.size() < (2400u << 10)) {
        const std::uint32_t r = next();
        const std::size_t run = (r >> 8) % 4 == 0 ? 1 + (r >> 12) % 300 : 1 + (r >> 12) % 5;
        data.append(run, static_cast<char>((r >> 20) % 7 == 0 ? r >> 24 : 'a' + (r >> 24) % 3));
    }
    return data;
}

TEST(Bzip2Codec, BlocksEncodedInParallelFormTheOneShotStream) {
    if (!BZip2::available())
        GTEST_SKIP() << "libbz2 is not installed";
    if (!haveTool("bzip2"))
        GTEST_SKIP() << "bzip2 is not installed";
    TempDir dir;
    for (const int blockSize : {9, 1}) {
        SCOPED_TRACE(blockSize);
        const std::string data = multiBlockData();
        const std::optional<Bytes> parallel =
            BZip2::compressBlocksInParallel(asBytes(data), blockSize);
        ASSERT_TRUE(parallel);
        const Bytes& ours = *parallel;
        EXPECT_EQ(BZip2::compress(asBytes(data), blockSize), ours);
        EXPECT_EQ(toString(BZip2::decompress(ours, data.size())), data);
        // One stream, the same bytes as the bzip2 tool writes, and it checks out.
        writeFile(dir / "data", data);
        const RunResult tool = runProgram(
            {"/bin/sh", "-c",
             "bzip2 -" + std::to_string(blockSize) + " -c '" + (dir / "data").string() + "'"});
        ASSERT_EQ(tool.exitCode, 0) << tool.err;
        EXPECT_TRUE(tool.out == toString(ours))
            << "sizes " << tool.out.size() << " / " << ours.size();
        writeFile(dir / "ours.bz2", toString(ours));
        EXPECT_EQ(runProgram({"bzip2", "-t", (dir / "ours.bz2").string()}).exitCode, 0);
    }
}

TEST(Bzip2Codec, LastBlockFilledToTheBrimStaysOneBlock) {
    if (!BZip2::available())
        GTEST_SKIP() << "libbz2 is not installed";
    // At size 1 a block holds 99,981 slots; with no two equal neighbours each byte takes one.
    // The first block closes on byte 99,982, which opens the second, and that one fills up on
    // the very last byte: the one-shot encoder keeps it whole.
    std::string data;
    for (std::size_t i = 0; i < 99981 + 99982; ++i)
        data.push_back(static_cast<char>('a' + i % 2));
    const std::optional<Bytes> parallel = BZip2::compressBlocksInParallel(asBytes(data), 1);
    ASSERT_TRUE(parallel);
    const platform::Bzip2Api& lib = *platform::bzip2Api();
    Bytes oneShot(data.size() * 2);
    auto length = static_cast<unsigned int>(oneShot.size());
    ASSERT_EQ(lib.buffToBuffCompress(reinterpret_cast<char*>(oneShot.data()), &length, data.data(),
                                     static_cast<unsigned int>(data.size()), 1, 0, 30),
              BZ_OK);
    oneShot.resize(length);
    EXPECT_EQ(*parallel, oneShot);
    EXPECT_EQ(toString(BZip2::decompress(*parallel, data.size())), data);
    EXPECT_FALSE(BZip2::compressBlocksInParallel(asBytes(data.substr(0, 99982)), 1));
}

// The paths only large inputs take: xz in several blocks on all cores, GZIP in two DEFLATE
// streams joined by a sync flush. The tools' own checks accept them and unpack the same bytes.
TEST(ArchiveCodecs, LargeInputsPassTheToolsChecks) {
    if (!haveTool("xz") || !haveTool("gzip"))
        GTEST_SKIP() << "xz or gzip is not installed";
    TempDir dir;
    std::string data;
    for (int i = 0; data.size() < (17u << 20); ++i)
        data += "entry " + std::to_string(i % 5000) + " of a large and quite repetitive payload\n";
    writeFile(dir / "data", data);

    writeFile(dir / "ours.xz", toString(XZCodec::compress(asBytes(data))));
    const RunResult list = runProgram({"xz", "--list", "--robot", (dir / "ours.xz").string()});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    // "file\t<streams>\t<blocks>\t…": one stream of at least two blocks, one per core.
    const std::size_t at = list.out.find("\nfile\t1\t");
    ASSERT_NE(at, std::string::npos) << list.out;
    EXPECT_GE(std::stoi(list.out.substr(at + 8)), 2) << list.out;
    const RunResult xz = runProgram({"/bin/sh", "-c",
                                     "xz -t '" + (dir / "ours.xz").string() + "' && xz -dc '" +
                                         (dir / "ours.xz").string() + "'"});
    EXPECT_EQ(xz.exitCode, 0) << xz.err;
    EXPECT_TRUE(xz.out == data);

    writeFile(dir / "ours.gz", toString(compressGzip(asBytes(data))));
    const RunResult gz = runProgram({"/bin/sh", "-c",
                                     "gzip -t '" + (dir / "ours.gz").string() + "' && gzip -dc '" +
                                         (dir / "ours.gz").string() + "'"});
    EXPECT_EQ(gz.exitCode, 0) << gz.err;
    EXPECT_TRUE(gz.out == data);
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
