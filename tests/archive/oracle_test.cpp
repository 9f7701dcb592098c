// Independent tools read what we write, and we read what they write.
#include "archive/archive_converter.h"
#include "archive/bzip2_codec.h"
#include "archive_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace kv::test {
namespace {

namespace fs = std::filesystem;
using F = SupportedFormat;

void requireTools(std::initializer_list<std::string_view> tools) {
    for (const auto tool : tools) {
        if (!haveTool(tool))
            GTEST_SKIP() << std::string(tool) << " is not installed";
    }
}

RunResult shell(const std::string& command) {
    return runProgram({"/bin/sh", "-c", command});
}

TEST(ArchiveOracles, IndependentReadersAcceptOurOutputs) {
    requireTools({"unzip", "bsdtar", "gzip", "xz", "bzip2"});
    TempDir dir;
    const auto expected = makeSampleTree(dir / "tree");
    struct Check {
        F format;
        std::string test; // %s is the archive
    };
    const Check checks[] = {
        {F::zip, "unzip -tq %s"}, {F::tar, "bsdtar -tf %s"}, {F::gzip, "gzip -t %s"},
        {F::xz, "xz -t %s"},      {F::bz2, "bzip2 -t %s"},
    };
    for (const Check& check : checks) {
        const std::string ext(fileExtension(check.format));
        SCOPED_TRACE(ext);
        const fs::path archive = dir / ("ours." + ext);
        ArchiveConverter::createArchive(dir / "tree", check.format, archive);
        std::string command = check.test;
        command.replace(command.find("%s"), 2, "'" + archive.string() + "'");
        const RunResult test = shell(command);
        EXPECT_EQ(test.exitCode, 0) << test.out << test.err;

        // bsdtar reads every one of them and unpacks the same files.
        const fs::path unpacked = dir / ("bsdtar-" + ext);
        fs::create_directories(unpacked);
        const RunResult extract =
            runProgram({"bsdtar", "-xf", archive.string(), "-C", unpacked.string()});
        EXPECT_EQ(extract.exitCode, 0) << extract.err;
        EXPECT_EQ(snapshot(unpacked), expected);
    }
}

TEST(ArchiveOracles, OurReadersAcceptOtherToolsOutputs) {
    requireTools({"zip", "tar", "gzip", "xz", "bzip2", "bsdtar"});
    TempDir dir;
    const auto expected = makeSampleTree(dir / "tree");
    fs::remove(dir / "tree" / ".DS_Store");
    fs::remove(dir / "tree" / "docs" / ".DS_Store");
    const std::string tree = "'" + (dir / "tree").string() + "'";
    const std::string d = "'" + dir.path().string() + "'";
    struct Made {
        std::string file;
        F format;
        std::string command;
    };
    const Made made[] = {
        {"zip.zip", F::zip, "cd " + tree + " && zip -qr " + d + "/zip.zip ."},
        {"gnu.tar", F::tar, "tar --format=ustar -cf " + d + "/gnu.tar -C " + tree + " ."},
        {"gnu.gz", F::gzip,
         "tar --format=ustar -cf - -C " + tree + " . | gzip -9 > " + d + "/gnu.gz"},
        {"gnu.xz", F::xz, "tar --format=ustar -cf - -C " + tree + " . | xz -T2 > " + d + "/gnu.xz"},
        {"gnu.bz2", F::bz2,
         "tar --format=ustar -cf - -C " + tree + " . | bzip2 > " + d + "/gnu.bz2"},
        {"bsd.tar", F::tar, "bsdtar --format=ustar -cf " + d + "/bsd.tar -C " + tree + " ."},
        {"bsd.zip", F::zip, "bsdtar --format=zip -cf " + d + "/bsd.zip -C " + tree + " ."},
        {"bsd.gz", F::gzip, "bsdtar --format=ustar -czf " + d + "/bsd.gz -C " + tree + " ."},
        // pbzip2-style output: two bzip2 streams back to back form one file.
        {"multi.bz2", F::bz2,
         "tar --format=ustar -cf - -C " + tree + " . > " + d + "/plain && head -c 1000000 " + d +
             "/plain | bzip2 > " + d + "/multi.bz2 && tail -c +1000001 " + d +
             "/plain | bzip2 >> " + d + "/multi.bz2"},
        {"multi.gz", F::gzip,
         "head -c 1000000 " + d + "/plain | gzip > " + d + "/multi.gz && tail -c +1000001 " + d +
             "/plain | gzip >> " + d + "/multi.gz"},
    };
    for (const Made& m : made) {
        SCOPED_TRACE(m.file);
        const RunResult run = shell(m.command);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const fs::path to = dir / ("ours-" + m.file);
        fs::create_directories(to);
        ArchiveConverter::extractArchive(dir / m.file, m.format, to);
        EXPECT_EQ(snapshot(to), expected);
    }
}

TEST(ArchiveOracles, GzipHeaderWithNameAndCommentIsSkipped) {
    requireTools({"gzip"});
    TempDir dir;
    writeFile(dir / "notes.txt", "hello notes\n");
    // gzip stores the original name (FNAME); a comment is added by hand below.
    ASSERT_EQ(shell("gzip -N -k '" + (dir / "notes.txt").string() + "'").exitCode, 0);
    std::string gz = readFile(dir / "notes.txt.gz");
    ASSERT_EQ(gz[3] & 0x08, 0x08);
    gz[3] = static_cast<char>(gz[3] | 0x10);
    const std::size_t nameEnd = gz.find('\0', 10);
    gz.insert(nameEnd + 1, std::string("a comment\0", 10));
    writeFile(dir / "c.txt.gz", gz);
    fs::create_directories(dir / "out");
    ArchiveConverter::extractArchive(dir / "c.txt.gz", F::gzip, dir / "out");
    EXPECT_EQ(readFile(dir / "out" / "c.txt"), "hello notes\n");
}

// Names no ustar header can hold: a 120-byte component, a 300-byte path, and unicode.
std::map<std::string, std::string> makeLongNameTree(const fs::path& root) {
    std::map<std::string, std::string> files{
        {std::string(120, 'c') + ".txt", "long component"},
        {"caf\u00e9_\u65e5\u672c_\U0001F600.txt", "unicode"},
        {"short.txt", "short"},
    };
    std::string deep;
    for (int i = 0; i < 6; ++i)
        deep += std::string(45, static_cast<char>('a' + i)) + "/";
    files[deep + "\u00e9t\u00e9-deep.bin"] = std::string(70000, 'd');
    for (const auto& [path, content] : files)
        writeFile(root / path, content);
    return files;
}

TEST(ArchiveOracles, TarsWithLongAndUnicodeNamesFromGnuTarAndBsdtar) {
    requireTools({"tar", "bsdtar"});
    TempDir dir;
    const auto expected = makeLongNameTree(dir / "tree");
    const std::string tree = "'" + (dir / "tree").string() + "'";
    const std::string d = "'" + dir.path().string() + "'";
    const std::pair<std::string, std::string> made[] = {
        {"gnu.tar", "tar --format=gnu -cf " + d + "/gnu.tar -C " + tree + " ."},
        {"posix.tar", "tar --format=posix -cf " + d + "/posix.tar -C " + tree + " ."},
        {"oldgnu.tar", "tar --format=oldgnu -cf " + d + "/oldgnu.tar -C " + tree + " ."},
        {"bsd-pax.tar", "bsdtar --format=pax -cf " + d + "/bsd-pax.tar -C " + tree + " ."},
        {"bsd.tar", "bsdtar -cf " + d + "/bsd.tar -C " + tree + " ."},
        {"label.tar",
         "tar --format=gnu --label=BACKUP-1 -cf " + d + "/label.tar -C " + tree + " ."},
    };
    for (const auto& [file, command] : made) {
        SCOPED_TRACE(file);
        const RunResult run = shell(command);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const fs::path to = dir / ("ours-" + file);
        fs::create_directories(to);
        ArchiveConverter::extractArchive(dir / file, F::tar, to);
        EXPECT_EQ(snapshot(to), expected);
    }

    // And the other way: both tools list our names in full and unpack the same files.
    const fs::path ours = dir / "ours.tar";
    ArchiveConverter::createArchive(dir / "tree", F::tar, ours);
    for (const std::string tool : {"tar", "bsdtar"}) {
        SCOPED_TRACE(tool);
        const fs::path to = dir / ("by-" + tool);
        fs::create_directories(to);
        const RunResult run = runProgram({tool, "-xf", ours.string(), "-C", to.string()});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(snapshot(to), expected);
    }
}

TEST(ArchiveOracles, DamagedAndSparseTarsFromGnuTarAreRefused) {
    requireTools({"tar", "truncate"});
    TempDir dir;
    writeFile(dir / "tree" / "plain.txt", "plain");
    ASSERT_EQ(shell("cd '" + (dir / "tree").string() +
                    "' && truncate -s 4M holes.bin && printf data >> holes.bin")
                  .exitCode,
              0);
    for (const std::string format : {"gnu", "posix"}) {
        SCOPED_TRACE(format);
        const fs::path archive = dir / (format + ".tar");
        ASSERT_EQ(shell("tar --format=" + format + " --sparse -cf '" + archive.string() + "' -C '" +
                        (dir / "tree").string() + "' holes.bin plain.txt")
                      .exitCode,
                  0);
        fs::create_directories(dir / format);
        const std::string message = corruptMessage(
            [&] { ArchiveConverter::extractArchive(archive, F::tar, dir / format); });
        EXPECT_NE(message.find("holes.bin' is a sparse file"), std::string::npos) << message;
    }

    // One flipped bit in a name: GNU tar and we both refuse the header.
    ASSERT_EQ(shell("tar --format=gnu -cf '" + (dir / "flip.tar").string() + "' -C '" +
                    (dir / "tree").string() + "' plain.txt")
                  .exitCode,
              0);
    std::string bytes = readFile(dir / "flip.tar");
    bytes[2] = static_cast<char>(bytes[2] ^ 0x01);
    writeFile(dir / "flip.tar", bytes);
    EXPECT_NE(runProgram({"tar", "-tf", (dir / "flip.tar").string()}).exitCode, 0);
    fs::create_directories(dir / "flip");
    EXPECT_EQ(corruptMessage([&] {
                  ArchiveConverter::extractArchive(dir / "flip.tar", F::tar, dir / "flip");
              }),
              "File appears corrupt: TAR header at byte 0 fails its checksum \u2014 the archive is "
              "damaged");
}

TEST(ArchiveOracles, EncryptedDamagedAndLinkedZipsFromRealTools) {
    requireTools({"zip", "bsdtar", "python3"});
    TempDir dir;
    writeFile(dir / "tree" / "a.txt", std::string(5000, 'a'));
    writeFile(dir / "tree" / "b.txt", "bbb");
    const std::string tree = "'" + (dir / "tree").string() + "'";
    const std::string d = "'" + dir.path().string() + "'";
    const auto refusesBeforeWriting = [&](const std::string& file) {
        SCOPED_TRACE(file);
        const fs::path to = dir / ("out-" + file);
        fs::create_directories(to);
        EXPECT_EQ(corruptMessage([&] { ArchiveConverter::extractArchive(dir / file, F::zip, to); }),
                  "File appears corrupt: 'a.txt' is password-protected; Kelvane cannot open "
                  "encrypted archives.");
        EXPECT_TRUE(fs::is_empty(to));
    };
    // Traditional PKWARE (zip -P, after a clear entry) and WinZip AES (bsdtar).
    ASSERT_EQ(shell("cd " + tree + " && zip -q " + d + "/pkware.zip b.txt && zip -q -P secret " +
                    d + "/pkware.zip a.txt")
                  .exitCode,
              0);
    refusesBeforeWriting("pkware.zip");
    ASSERT_EQ(shell("cd " + tree +
                    " && bsdtar --format=zip --options zip:encryption=aes256 "
                    "--passphrase secret -cf " +
                    d + "/aes.zip a.txt")
                  .exitCode,
              0);
    refusesBeforeWriting("aes.zip");

    // Python's zipfile writes the archive; one data byte flipped, unzip -t agrees it is damaged.
    const std::string python = "import zipfile,sys\n"
                               "z=zipfile.ZipFile(sys.argv[1],'w',zipfile.ZIP_DEFLATED)\n"
                               "z.writestr('ok.txt','fine')\n"
                               "z.writestr('stored.txt','x'*100,compress_type=zipfile.ZIP_STORED)\n"
                               "z.close()\n";
    writeFile(dir / "make.py", python);
    ASSERT_EQ(
        runProgram({"python3", (dir / "make.py").string(), (dir / "py.zip").string()}).exitCode, 0);
    std::string zip = readFile(dir / "py.zip");
    const std::size_t data = zip.find(std::string(100, 'x'));
    ASSERT_NE(data, std::string::npos);
    zip[data + 50] = 'y';
    writeFile(dir / "flipped.zip", zip);
    EXPECT_NE(runProgram({"unzip", "-tq", (dir / "flipped.zip").string()}).exitCode, 0);
    fs::create_directories(dir / "flipped");
    EXPECT_EQ(corruptMessage([&] {
                  ArchiveConverter::extractArchive(dir / "flipped.zip", F::zip, dir / "flipped");
              }),
              "File appears corrupt: ZIP entry 'stored.txt' is damaged (its CRC-32 does not match "
              "its data)");

    // zip -y stores a link; a second run adds a file under the link's name as a folder.
    fs::create_directories(dir / "links" / "real");
    fs::create_symlink("real", dir / "links" / "ln");
    fs::create_directories(dir / "other" / "ln");
    writeFile(dir / "other" / "ln" / "inside.txt", "inside");
    ASSERT_EQ(shell("cd '" + (dir / "links").string() + "' && zip -qy " + d +
                    "/links.zip ln && cd '" + (dir / "other").string() + "' && zip -q " + d +
                    "/links.zip ln/inside.txt")
                  .exitCode,
              0);
    fs::create_directories(dir / "linked");
    const std::string message = corruptMessage(
        [&] { ArchiveConverter::extractArchive(dir / "links.zip", F::zip, dir / "linked"); });
    EXPECT_EQ(message, "File appears corrupt: 'ln/inside.txt' cannot be extracted: 'ln' is a file "
                       "or symbolic link in this archive, not a folder");
    EXPECT_TRUE(logged("Symbolic link 'ln' extracted as a plain file holding its target path"));
}

} // namespace
} // namespace kv::test
