// ZIP reader and writer: layout, limits and hostile entries.
#include "archive/deflate_codec.h"
#include "archive/zip_reader.h"
#include "archive/zip_writer.h"
#include "archive_fixtures.h"
#include "base/byte_reader.h"
#include "engine/conversion_error.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace kv::test {
namespace {

namespace fs = std::filesystem;
using namespace ArchiveConverter;

std::string deflated(std::string_view text) {
    return toString(compressDeflate(asBytes(text)));
}

TEST(ZipWriter, EntriesCarryTheDocumentedLayout) {
    const std::string text(1000, 'a');
    const ZipEntry entries[] = {
        {"mimetype", "application/epub+zip", ZipMethod::stored, 0},
        {"dir/", {}, ZipMethod::deflated, 0},
        {"dir/a.txt", text, ZipMethod::deflated, 0},
        {"empty", "", ZipMethod::deflated, 0},
    };
    const Bytes zip = buildZIP(entries);
    EXPECT_EQ(asText(ByteView(zip).subspan(30, 8)), "mimetype"); // first entry, stored
    EXPECT_EQ(asText(ByteView(zip).subspan(38, 20)), "application/epub+zip");
    const std::vector<ZipMember> members = readZIP(zip);
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[1].name, "dir/a.txt");
    EXPECT_EQ(toString(members[1].data), text);
    EXPECT_TRUE(members[2].data.empty());

    // The end record: 4 entries, directory offset and size that add up to the record's place.
    const std::size_t end = *findEOCD(zip);
    EXPECT_EQ(end, zip.size() - 22);
    EXPECT_EQ(loadU16le(zip, end + 10), 4);
    EXPECT_EQ(loadU32le(zip, end + 12) + loadU32le(zip, end + 16), end);
    // Central headers in order: the folder's attributes, then the text deflated (method 8).
    const std::size_t central = loadU32le(zip, end + 16);
    const std::size_t second = central + 46 + 8;
    EXPECT_EQ(loadU32le(zip, second + 38), 0x41ED0010u);
    EXPECT_EQ(loadU16le(zip, second + 46 + 4 + 10), 8);
}

TEST(ZipWriter, EmptyTreeIsOnlyTheEndRecord) {
    TempDir dir;
    fs::create_directories(dir / "tree");
    createZIP(dir / "tree", dir / "e.zip");
    const std::string zip = readFile(dir / "e.zip");
    EXPECT_EQ(zip, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
}

TEST(ZipWriter, EntryCountLimitIs65535) {
    std::vector<ZipEntry> entries(65535);
    for (std::size_t i = 0; i < entries.size(); ++i)
        entries[i] = {"f" + std::to_string(i), "", ZipMethod::stored, 0};
    const Bytes zip = buildZIP(entries);
    EXPECT_EQ(readZIP(zip).size(), 65535u);
    entries.push_back({"one-more", "", ZipMethod::stored, 0});
    EXPECT_EQ(corruptMessage([&] { buildZIP(entries); }),
              "File appears corrupt: Archive has too many entries for ZIP (max 65,535) \u2014 try "
              "TAR instead");
}

TEST(ZipReader, HostileNamesStayInsideTheTarget) {
    TempDir dir;
    const std::string zip = makeRawZip({{"../../x.txt", "x"},
                                        {"/abs/p.txt", "p"},
                                        {"a\\b\\c.txt", "c"},
                                        {"__MACOSX/._a", "junk"},
                                        {"dir/", ""},
                                        {"ok.txt", "ok"}});
    fs::create_directories(dir / "t");
    extractZIP(asBytes(zip), dir / "t");
    EXPECT_EQ(snapshot(dir / "t"),
              (std::map<std::string, std::string>{
                  {"x.txt", "x"}, {"abs/p.txt", "p"}, {"a/b/c.txt", "c"}, {"ok.txt", "ok"}}));
    EXPECT_FALSE(fs::exists(dir / "x.txt"));

    // A name that sanitises to nothing is a failure, reported after the rest was written.
    fs::create_directories(dir / "u");
    EXPECT_EQ(corruptMessage([&] {
                  extractZIP(asBytes(makeRawZip({{"..", "z"}, {"fine", "f"}})), dir / "u");
              }),
              "File appears corrupt: 1 item(s) couldn't be extracted (..) \u2014 the archive may "
              "be damaged or use "
              "a compression method Kelvane doesn't support.");
    EXPECT_EQ(readFile(dir / "u" / "fine"), "f");
}

TEST(ZipReader, NeverWritesThroughALinkedFolder) {
    TempDir dir;
    fs::create_directories(dir / "outside");
    fs::create_directories(dir / "t");
    fs::create_symlink(dir / "outside", dir / "t" / "link");
    EXPECT_EQ(corruptMessage([&] {
                  extractZIP(asBytes(makeRawZip({{"link/evil.txt", "evil"}})), dir / "t");
              }),
              "File appears corrupt: 'link/evil.txt' cannot be extracted: 'link' is a file or "
              "symbolic link in this archive, not a folder");
    writeFile(dir / "outside" / "target", "keep");
    fs::create_symlink(dir / "outside" / "target", dir / "t" / "file-link");
    EXPECT_NE(corruptMessage([&] {
                  extractZIP(asBytes(makeRawZip({{"file-link", "evil"}})), dir / "t");
              }).find("'file-link' cannot be extracted"),
              std::string::npos);
    EXPECT_EQ(snapshot(dir / "outside"), (std::map<std::string, std::string>{{"target", "keep"}}));
}

TEST(ZipReader, UnsupportedMethodsAreListedTogether) {
    TempDir dir;
    std::vector<RawZipEntry> entries;
    for (int i = 0; i < 5; ++i)
        entries.push_back(
            {"m" + std::to_string(i), "data", static_cast<std::uint16_t>(i % 2 ? 14 : 12)});
    entries.push_back({"good.txt", deflated("good"), 8, 4});
    EXPECT_EQ(corruptMessage([&] { extractZIP(asBytes(makeRawZip(entries)), dir.path()); }),
              "File appears corrupt: 5 item(s) couldn't be extracted (m0, m1, m2 and 2 more) "
              "\u2014 the archive may "
              "be damaged or use a compression method Kelvane doesn't support.");
    EXPECT_EQ(readFile(dir / "good.txt"), "good");
}

TEST(ZipReader, EndRecordIsFoundBehindTheLongestComment) {
    const std::string withComment = makeRawZip({{"a", "1"}}, 65535);
    EXPECT_EQ(readZIP(asBytes(withComment)).size(), 1u);
    // One byte further back is outside the search window.
    std::string cut = makeRawZip({{"a", "1"}, {"b", "2"}});
    cut.erase(cut.size() - 22 - 47, 47); // the second central header
    EXPECT_EQ(readZIP(asBytes(cut)).size(), 1u);
    EXPECT_TRUE(logged("The central directory ends after 1 of 2 entries"));
    const std::string tooFar = withComment + "x";
    EXPECT_EQ(corruptMessage([&] { readZIP(asBytes(tooFar)); }),
              "File appears corrupt: Invalid ZIP \u2014 cannot find end of central directory");
}

TEST(ZipReader, DeclaredSizesBuyNoMemory) {
    // A 2-byte-per-entry bomb: the header claims 4 GB, the stream holds a few bytes.
    const std::string small = deflated("tiny");
    const InflateResult result = inflateRaw(asBytes(small), 0xFFFFFFF0u, kMaxArchiveBytes);
    ASSERT_EQ(result.status, InflateResult::Status::ok);
    EXPECT_LE(result.data.capacity(), small.size() * 64 + 65536);
    EXPECT_EQ(corruptMessage([&] {
                  readZIP(asBytes(makeRawZip({{"bomb", small, 8, 0xFFFFFFF0u}})));
              }),
              "File appears corrupt: ZIP entry 'bomb' is damaged (it holds 4 bytes where it "
              "declares 4294967280)");

    // Real expansion beyond the remaining budget stops, whatever was declared.
    const std::string zeros = deflated(std::string(4 << 20, '\0'));
    EXPECT_EQ(inflateRaw(asBytes(zeros), 10, 1 << 20).status, InflateResult::Status::tooLarge);
    EXPECT_EQ(inflateRaw(asBytes(zeros), 10, 4 << 20).data.size(),
              4u << 20); // exactly the limit is fine
}

TEST(ZipReader, DataIsCheckedAgainstItsCrcAndSize) {
    TempDir dir;
    std::string zip =
        makeRawZip({{"first.txt", "first"}, {"second.txt", deflated("second"), 8, 6}});
    readZIP(asBytes(zip)); // intact
    std::string flipped = zip;
    flipped[30 + 9 + 2] ^= 0x20; // "fiRst"
    EXPECT_EQ(corruptMessage([&] { extractZIP(asBytes(flipped), dir.path()); }),
              "File appears corrupt: ZIP entry 'first.txt' is damaged (its CRC-32 does not match "
              "its data)");
    // A DEFLATE stream that holds more than the entry declares.
    EXPECT_EQ(corruptMessage([&] {
                  readZIP(asBytes(makeRawZip({{"more.txt", deflated("more than five"), 8, 5}})));
              }),
              "File appears corrupt: ZIP entry 'more.txt' is damaged (it holds 14 bytes where it "
              "declares 5)");
}

TEST(ZipReader, SymlinkEntriesBecomeFilesWithAWarningEach) {
    TempDir dir;
    std::string zip = makeRawZip({{"to-a", "a.txt"}, {"to-b", "b.txt"}, {"to-a/inside.txt", "x"}});
    // Mark the first two central headers as Unix symlinks (mode 0120777).
    std::size_t central = loadU32le(asBytes(zip), zip.size() - 22 + 16);
    for (int i = 0; i < 2; ++i) {
        zip[central + 38 + 2] = '\xff';
        zip[central + 38 + 3] = '\xa1';
        central += 46 + 4;
    }
    EXPECT_EQ(corruptMessage([&] { extractZIP(asBytes(zip), dir.path()); }),
              "File appears corrupt: 'to-a/inside.txt' cannot be extracted: 'to-a' is a file or "
              "symbolic link in this archive, not a folder");
    EXPECT_TRUE(logged("Symbolic link 'to-a' extracted as a plain file holding its target path"));
    EXPECT_TRUE(logged("Symbolic link 'to-b' extracted as a plain file holding its target path"));
    EXPECT_EQ(readFile(dir / "to-b"), "b.txt");
}

TEST(ZipReader, EveryTruncationFailsCleanly) {
    const ZipEntry entries[] = {{"a.txt", "hello", ZipMethod::stored, 0},
                                {"dir/b.bin", std::string(4096, 'x'), ZipMethod::deflated, 0}};
    const Bytes zip = buildZIP(entries);
    for (std::size_t n = 0; n < zip.size(); ++n) {
        try {
            (void)readZIP(ByteView(zip).first(n));
        } catch (const ConversionError& e) {
            EXPECT_EQ(e.kind(), ConversionError::Kind::corruptFile) << n;
        }
    }
}

TEST(ZipReader, NamesThatAreNotUtf8ReadAsWindows1252) {
    EXPECT_EQ(decodeArchiveName(asBytes("caf\xe9 \x80")), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(decodeArchiveName(asBytes("\x81")), "\xc2\x81"); // undefined in 1252: Latin-1
    EXPECT_EQ(decodeArchiveName(asBytes("\xc3\xa9")), "\xc3\xa9");
}

} // namespace
} // namespace kv::test
