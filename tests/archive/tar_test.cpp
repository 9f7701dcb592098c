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

TEST(TarWriter, LongPathsSplitIntoPrefixAndReadBack) {
    TempDir dir;
    const std::string folder = std::string(60, 'p') + "/" + std::string(68, 'q'); // 129 bytes
    const std::string path = folder + "/" + std::string(20, 'n');                 // 150 bytes
    writeFile(dir / "tree" / path, "deep");
    const std::string longLast = std::string(120, 'L');
    writeFile(dir / "tree" / longLast, "long");
    const std::string tar = toString(createTARData(dir / "tree"));
    EXPECT_TRUE(logged("path(s) too long for ustar TAR were shortened"));
    fs::create_directories(dir / "out");
    extractTAR(asBytes(tar), dir / "out");
    EXPECT_EQ(readFile(dir / "out" / path), "deep");
    EXPECT_EQ(readFile(dir / "out" / std::string(100, 'L')), "long");
}

TEST(TarReader, LinksAndLongNameRecordsAreRefusedAfterTheFiles) {
    TempDir dir;
    const std::string tar = tarEntry("a.txt", '0', "A") + tarEntry("link", '2', "") +
                            tarEntry("././@LongLink", 'L', std::string(150, 'n')) +
                            tarEntry("b.txt", '0', "B") + std::string(1024, '\0');
    EXPECT_EQ(corruptMessage([&] { extractTAR(asBytes(tar), dir.path()); }),
              "File appears corrupt: This archive contains 2 symlink(s) or special file(s) (link, "
              "././@LongLink) that "
              "can't be represented in the target format without corrupting the tree.");
    EXPECT_EQ(snapshot(dir.path()),
              (std::map<std::string, std::string>{{"a.txt", "A"}, {"b.txt", "B"}}));
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
    EXPECT_THROW(extractTAR(asBytes(tarEntry("up/evil", '0', "e")), dir / "t"),
                 fs::filesystem_error);
    EXPECT_TRUE(fs::is_empty(dir / "outside"));
}

TEST(TarReader, ExtendedHeadersAndEmptyFoldersAreReported) {
    TempDir dir;
    const std::string tar = tarEntry("PaxHeaders/x", 'x', "30 path=some/very/long/name\n") +
                            tarEntry("short", '0', "s") + tarEntry("lonely/", '5', "") +
                            tarEntry("full/", '5', "") + tarEntry("full/f", '0', "f");
    extractTAR(asBytes(tar), dir.path());
    EXPECT_TRUE(logged("1 extended (PAX) header(s) ignored"));
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
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
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
