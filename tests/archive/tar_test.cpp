// ustar TAR reader and writer.
#include "archive/tar_reader.h"
#include "archive/tar_writer.h"
#include "archive_fixtures.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace kv::test {
namespace {

namespace fs = std::filesystem;
using namespace ArchiveConverter;

TEST(TarWriter, HeadersFollowUstar) {
    TempDir dir;
    fs::create_directories(dir / "tree" / "dir");
    const std::string onlyFolder = toString(createTARData(dir / "tree"));
    EXPECT_EQ(onlyFolder.size(), 512u + 1024);
    EXPECT_EQ(onlyFolder.substr(0, 5), std::string("dir/\0", 5));
    writeFile(dir / "tree" / "dir" / "f.bin", std::string(513, 'z'));
    const std::string tar = toString(createTARData(dir / "tree"));
    ASSERT_EQ(tar.size(), 512u + 512 + 1024 + 1024);
    EXPECT_EQ(tar[156], '5');
    EXPECT_EQ(tar.substr(512, 9), "dir/f.bin");
    EXPECT_EQ(tar.substr(512 + 124, 12), std::string("00000001001\0", 12));
    EXPECT_EQ(tar.substr(512 + 257, 8), std::string("ustar\0"
                                                    "00",
                                                    8));
    EXPECT_EQ(tar.substr(512 + 148 + 6, 2),
              std::string("\0 ", 2)); // checksum: 6 digits, NUL, space
    EXPECT_EQ(tar.substr(tar.size() - 1024), std::string(1024, '\0'));
}

TEST(TarWriter, PathsUstarCannotHoldGoIntoPaxRecords) {
    TempDir dir;
    const std::string folder = std::string(60, 'p') + "/" + std::string(68, 'q'); // 129 bytes
    const std::string split = folder + "/" + std::string(20, 'n');                // 150 bytes
    writeFile(dir / "tree" / split, "deep");
    const std::string longLast = std::string(120, 'L') + "_caf\u00e9";
    writeFile(dir / "tree" / longLast, "long");
    const std::string tar = toString(createTARData(dir / "tree"));
    // The 150-byte path fits name and prefix and needs no PAX record; the long name gets one.
    const std::size_t pax = tar.find("PaxHeaders/");
    ASSERT_NE(pax, std::string::npos);
    EXPECT_EQ(tar.find("PaxHeaders/", pax + 1), std::string::npos);
    EXPECT_EQ(tar[pax + 156], 'x');
    EXPECT_NE(tar.find("path=" + longLast + "\n"), std::string::npos);
    fs::create_directories(dir / "out");
    extractTAR(asBytes(tar), dir / "out");
    EXPECT_EQ(snapshot(dir / "out"),
              (std::map<std::string, std::string>{{split, "deep"}, {longLast, "long"}}));
}

TEST(TarReader, GnuLongNamesApplyToTheNextEntryAndLinksAreRefused) {
    TempDir dir;
    const std::string longName = std::string(150, 'n') + "/file.txt";
    const std::string longLink = std::string(130, 'k');
    const std::string tar = tarEntry("a.txt", '0', "A") + tarEntry("link", '2', "") +
                            tarEntry("././@LongLink", 'L', longName + '\0') +
                            tarEntry(longName.substr(0, 100), '0', "long") +
                            tarEntry("././@LongLink", 'L', longLink + '\0') +
                            tarEntry("././@LongLink", 'K', std::string(200, 't') + '\0') +
                            tarEntry(longLink.substr(0, 100), '2', "") +
                            tarEntry("b.txt", '0', "B") + std::string(1024, '\0');
    EXPECT_EQ(
        corruptMessage([&] { extractTAR(asBytes(tar), dir.path()); }),
        "File appears corrupt: This archive contains 2 symlink(s) or special file(s) (link, " +
            longLink +
            ") that can't be represented in the target format without corrupting the tree.");
    EXPECT_EQ(snapshot(dir.path()), (std::map<std::string, std::string>{
                                        {"a.txt", "A"}, {longName, "long"}, {"b.txt", "B"}}));
}

TEST(TarReader, PaxPathAndSizeOverrideTheHeader) {
    TempDir dir;
    const std::string name = "caf\u00e9_\u65e5\u672c_\U0001F600.txt";
    // The header says 0 bytes; the PAX size says 5. Unused keys are named in one warning.
    const std::string tar = tarEntry("PaxHeaders/x", 'x',
                                     "30 path=" + name + "\n10 size=5\n" +
                                         "30 SCHILY.xattr.user.tag=blue\n20 mtime=1700000000\n") +
                            tarEntry("caf?_??_?.txt", '0', "") + "12345" + std::string(507, '\0') +
                            tarEntry("after.txt", '0', "after") + std::string(1024, '\0');
    extractTAR(asBytes(tar), dir.path());
    EXPECT_EQ(snapshot(dir.path()),
              (std::map<std::string, std::string>{{name, "12345"}, {"after.txt", "after"}}));
    EXPECT_TRUE(logged("1 extended (PAX) attribute(s) not applied to the extracted files "
                       "(SCHILY.xattr.user.tag)"));
    EXPECT_EQ(
        corruptMessage([&] {
            extractTAR(
                asBytes(tarEntry("PaxHeaders/x", 'x', "99 path=x\n") + tarEntry("f", '0', "f")),
                dir.path());
        }),
        "File appears corrupt: Malformed PAX extended header \u2014 the TAR archive is damaged");
}

TEST(TarReader, HeaderChecksumsAreVerifiedSignedOrUnsigned) {
    TempDir dir;
    std::string tar = tarEntry("first.txt", '0', "1") + tarEntry("second.txt", '0', "2");
    tar[1024 + 3] = 'X'; // a flipped byte in the second name
    EXPECT_EQ(corruptMessage([&] { extractTAR(asBytes(tar), dir.path()); }),
              "File appears corrupt: TAR header at byte 1024 fails its checksum \u2014 the archive "
              "is damaged");
    // Old writers summed bytes as signed chars: a name with bytes above 0x7F shows the difference.
    std::string old = tarHeader("\xe9t\xe9.txt", '0', "00000000001");
    int signedSum = 0;
    for (std::size_t i = 0; i < 512; ++i)
        signedSum += (i >= 148 && i < 156) ? ' ' : static_cast<signed char>(old[i]);
    char text[8];
    std::snprintf(text, sizeof text, "%06o", static_cast<unsigned>(signedSum));
    old.replace(148, 6, text, 6);
    fs::create_directories(dir / "old");
    extractTAR(asBytes(old + "x" + std::string(511, '\0')), dir / "old");
    EXPECT_EQ(readFile(dir / "old" / "\u00e9t\u00e9.txt"), "x");
}

TEST(TarReader, Base256SizesSparseFilesAndVolumeLabels) {
    TempDir dir;
    std::string size(12, '\0');
    size[0] = '\x80';
    size[11] = 5;
    const std::string tar = tarEntry("VOLUME", 'V', "") + tarHeader("five", '0', size) + "12345" +
                            std::string(507, '\0') + std::string(1024, '\0');
    extractTAR(asBytes(tar), dir.path());
    EXPECT_EQ(snapshot(dir.path()), (std::map<std::string, std::string>{{"five", "12345"}}));
    size[0] = '\xff'; // negative
    EXPECT_EQ(corruptMessage([&] { extractTAR(asBytes(tarHeader("neg", '0', size)), dir.path()); }),
              "File appears corrupt: TAR entry 'neg' exceeds archive bounds");
    const std::string sparseMessage =
        "File appears corrupt: TAR entry 'holes.bin' is a sparse file, which Kelvane cannot "
        "unpack \u2014 recreate the archive without --sparse.";
    EXPECT_EQ(
        corruptMessage([&] { extractTAR(asBytes(tarEntry("holes.bin", 'S', "")), dir.path()); }),
        sparseMessage);
    EXPECT_EQ(corruptMessage([&] {
                  extractTAR(
                      asBytes(tarEntry("PaxHeaders/x", 'x', "29 GNU.sparse.name=holes.bin\n") +
                              tarEntry("GNUSparseFile.0/holes.bin", '0', "")),
                      dir.path());
              }),
              sparseMessage);
}

TEST(TarReader, SizesAndBoundsAreChecked) {
    TempDir dir;
    // "0000000001 \0" reads as one byte.
    extractTAR(asBytes(tarHeader("one", '0', std::string("0000000001 \0", 12)) + "x" +
                       std::string(511, '\0')),
               dir.path());
    EXPECT_EQ(readFile(dir / "one"), "x");
    EXPECT_EQ(corruptMessage([&] {
                  extractTAR(asBytes(tarHeader("big", '0', "00000001000") + "short"), dir.path());
              }),
              "File appears corrupt: TAR entry 'big' exceeds archive bounds");
    EXPECT_EQ(corruptMessage([&] {
                  extractTAR(asBytes(tarHeader("neg", '0', "-1") + std::string(512, 'a')),
                             dir.path());
              }),
              "File appears corrupt: TAR entry 'neg' exceeds archive bounds");
    // A stream cut inside a header or without end blocks keeps what it holds, with a warning.
    extractTAR(asBytes(tarEntry("c", '0', "C") + std::string(100, 'h')), dir.path());
    EXPECT_EQ(readFile(dir / "c"), "C");
    EXPECT_TRUE(logged("The TAR stream ends without its end blocks"));
}

TEST(TarReader, HostileNamesStayInside) {
    TempDir dir;
    fs::create_directories(dir / "t");
    fs::create_directories(dir / "outside");
    fs::create_symlink(dir / "outside", dir / "t" / "up");
    const std::string tar = tarEntry("../../escape.txt", '0', "e") +
                            tarEntry("/etc/abs.txt", '0', "a") + std::string(1024, '\0');
    extractTAR(asBytes(tar), dir / "t");
    EXPECT_TRUE(fs::exists(dir / "t" / "escape.txt"));
    EXPECT_TRUE(fs::exists(dir / "t" / "etc" / "abs.txt"));
    EXPECT_EQ(
        corruptMessage([&] { extractTAR(asBytes(tarEntry("up/evil", '0', "e")), dir / "t"); }),
        "File appears corrupt: 'up/evil' cannot be extracted: 'up' is a file or symbolic "
        "link in this archive, not a folder");
    EXPECT_TRUE(fs::is_empty(dir / "outside"));
}

TEST(TarReader, EmptyFoldersAreReported) {
    TempDir dir;
    const std::string tar = tarEntry("short", '0', "s") + tarEntry("lonely/", '5', "") +
                            tarEntry("full/", '5', "") + tarEntry("full/f", '0', "f");
    extractTAR(asBytes(tar), dir.path());
    EXPECT_TRUE(logged("1 empty folder(s) not carried over (lonely/)"));
    EXPECT_EQ(readFile(dir / "full" / "f"), "f");
}

// Found by fuzzing: every extraction leaked the descriptor of the last folder it wrote into, so
// a long-running process ran out of descriptors.
TEST(TarReader, ExtractionLeavesNoOpenDescriptors) {
    TempDir dir;
    writeFile(dir / "tree" / "a" / "b" / "deep.txt", "deep");
    writeFile(dir / "tree" / "top.txt", "top");
    const std::string tar = toString(createTARData(dir / "tree"));
    const auto openDescriptors = [] {
        std::size_t count = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd"))
            ++count;
        return count;
    };
    const std::size_t before = openDescriptors();
    for (int i = 0; i < 50; ++i) {
        const auto out = dir / ("out" + std::to_string(i));
        fs::create_directories(out);
        extractTAR(asBytes(tar), out);
    }
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace
} // namespace kv::test
