#include "support/test_support.h"
#include "validate/validator.h"

#include <gtest/gtest.h>

namespace kv {

using F = SupportedFormat;
using S = ValidationStatus;

TEST(Validator, MagicBytesReportWhatWasFound) {
    test::TempDir dir;
    test::writeFile(dir / "a.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    EXPECT_EQ(Validator::validate(dir / "a.zip", F::zip),
              S::failed("ZIP magic: got [50 4B 05 06], want [50 4B 03 04]"));
    test::writeFile(dir / "a.gz", "\x1F");
    EXPECT_EQ(Validator::validate(dir / "a.gz", F::gzip),
              S::failed("GZIP magic: file shorter than 2 bytes"));
    test::writeFile(dir / "a.xz", std::string("\xFD"
                                              "7zXZ\0rest",
                                              10));
    EXPECT_EQ(Validator::validate(dir / "a.xz", F::xz), S::passed());
    test::writeFile(dir / "a.bz2", "BZh9...");
    EXPECT_EQ(Validator::validate(dir / "a.bz2", F::bz2), S::passed());
    test::writeFile(dir / "book.epub", "PK\x03\x04...");
    EXPECT_EQ(Validator::validate(dir / "book.epub", F::epub), S::passed());
    EXPECT_EQ(Validator::validate(dir / "missing.zip", F::zip),
              S::failed("Could not open file for reading"));
}

TEST(Validator, TarHeaders) {
    test::TempDir dir;
    test::writeFile(dir / "short.tar", std::string(100, 'a'));
    EXPECT_EQ(Validator::validateTAR(dir / "short.tar"),
              S::failed("TAR shorter than one 512-byte block"));
    test::writeFile(dir / "zero.tar", std::string(1024, '\0'));
    EXPECT_EQ(Validator::validateTAR(dir / "zero.tar"),
              S::failed("TAR first block is all zeros (empty)"));
    std::string ustar(512, '\0');
    ustar.replace(257, 5, "ustar");
    test::writeFile(dir / "ustar.tar", ustar);
    EXPECT_EQ(Validator::validateTAR(dir / "ustar.tar"),
              S::passed()); // empty name is fine with ustar
    std::string old(512, '\0');
    old[200] = 'x';
    test::writeFile(dir / "old.tar", old);
    EXPECT_EQ(Validator::validateTAR(dir / "old.tar"),
              S::failed("Pre-POSIX TAR header has empty filename"));
}

TEST(Validator, TextHtmlSvgAndJson) {
    test::TempDir dir;
    test::writeFile(dir / "empty.txt", "");
    EXPECT_EQ(Validator::validate(dir / "empty.txt", F::txt), S::failed("Text file is empty"));
    test::writeFile(dir / "latin1.txt", "caf\xE9");
    EXPECT_EQ(Validator::validate(dir / "latin1.txt", F::markdown),
              S::failed("File not readable as UTF-8"));
    test::writeFile(dir / "ok.md", "# Title\n");
    EXPECT_EQ(Validator::validate(dir / "ok.md", F::markdown), S::passed());
    test::writeFile(dir / "frag.html", "<p>hello</p>");
    EXPECT_EQ(Validator::validate(dir / "frag.html", F::html),
              S::failed("HTML lacks <html>/<body>/<!doctype>"));
    test::writeFile(dir / "page.html", "<!DOCTYPE html><p>x</p>");
    EXPECT_EQ(Validator::validate(dir / "page.html", F::html), S::passed());
    test::writeFile(dir / "a.svg", "  <SVG width='1'/>");
    EXPECT_EQ(Validator::validate(dir / "a.svg", F::svg), S::passed());
    test::writeFile(dir / "b.svg", "<html/>");
    EXPECT_EQ(Validator::validate(dir / "b.svg", F::svg),
              S::failed("SVG missing <svg> root element"));

    test::writeFile(dir / "empty.json", "[]");
    EXPECT_EQ(Validator::validate(dir / "empty.json", F::json), S::failed("JSON array is empty"));
    test::writeFile(dir / "object.json", "{\"a\":1}");
    EXPECT_EQ(Validator::validate(dir / "object.json", F::json),
              S::failed("JSON root is not an array"));
    test::writeFile(dir / "scalar.json", "42");
    EXPECT_EQ(Validator::validate(dir / "scalar.json", F::json),
              S::failed("Output is not valid JSON"));
    test::writeFile(dir / "rows.json", "[{\"a\":1}]");
    EXPECT_EQ(Validator::validate(dir / "rows.json", F::json), S::passed());
}

TEST(Validator, RtfHeaderAndFolderOutputs) {
    test::TempDir dir;
    test::writeFile(dir / "bad.rtf", "hello world");
    EXPECT_EQ(Validator::validateRTF(dir / "bad.rtf"),
              S::failed("RTF header missing \u2014 got 'hello '"));

    EXPECT_EQ(Validator::validateFolderOutput(F::pdfPageJpeg, dir / "nope"),
              S::failed("Output folder doesn't exist"));
    EXPECT_EQ(Validator::validateFolderOutput(F::pdfPageJpeg, dir / "bad.rtf"),
              S::failed("Output path is not a folder"));
    std::filesystem::create_directory(dir / "pages");
    EXPECT_EQ(Validator::validateFolderOutput(F::pdfPageJpeg, dir / "pages"),
              S::failed("Output folder is empty"));
    test::writeFile(dir / "pages" / "page-1.jpeg", "x");
    EXPECT_EQ(Validator::validateFolderOutput(F::pdfPageJpeg, dir / "pages"),
              S::failed("Folder has no .jpg files"));
    EXPECT_EQ(Validator::validate(dir / "x.jxl", F::jxl), S::passed());
}

} // namespace kv
