#include "archive/zip_writer.h"
#include "document/richtext/docx_writer.h"
#include "document/richtext/rtf_writer.h"
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

TEST(Validator, DelimitedRowsMustMatchTheHeader) {
    test::TempDir dir;
    test::writeFile(dir / "ragged.csv", "id,name,notes,price,in_stock\n"
                                        "1,a,b,2,yes\n"
                                        "2,a,\"b,c\",2,yes,extra\n");
    EXPECT_EQ(Validator::validate(dir / "ragged.csv", F::csv),
              S::failed("Row 3 has 6 columns, header has 5"));
    test::writeFile(dir / "header.csv", "id,name\n");
    EXPECT_EQ(Validator::validate(dir / "header.csv", F::csv),
              S::failed("Expected a header plus at least one row, got 1"));
    // A quoted comma and a quoted line break are one cell each.
    test::writeFile(dir / "quoted.csv", "a,b\n\"x,y\",\"line\nbreak\"\n");
    EXPECT_EQ(Validator::validate(dir / "quoted.csv", F::csv), S::passed());
    // The tab delimiter is honoured: a comma-separated file read as TSV has one column, a
    // tab-separated one with a short row fails.
    test::writeFile(dir / "short.tsv", "a\tb\tc\n1\t2\n");
    EXPECT_EQ(Validator::validate(dir / "short.tsv", F::tsv),
              S::failed("Row 2 has 2 columns, header has 3"));
    test::writeFile(dir / "latin1.tsv", "a\tb\n\xE9\tx\n");
    EXPECT_EQ(Validator::validate(dir / "latin1.tsv", F::tsv),
              S::failed("Delimited file not readable as UTF-8"));
}

TEST(Validator, SubtitleTimingsAndTexts) {
    test::TempDir dir;
    const std::string zeroCue = "00:00:00,000 --> 00:00:02,000\n";
    test::writeFile(dir / "lost.srt",
                    "1\n" + zeroCue + "one\n\n2\n" + zeroCue + "two\n\n3\n" + zeroCue + "three\n");
    EXPECT_EQ(Validator::validate(dir / "lost.srt", F::srt),
              S::failed("Every cue starts at 00:00 \u2014 timings were lost"));
    test::writeFile(dir / "single.srt", "1\n" + zeroCue + "only\n");
    EXPECT_EQ(Validator::validate(dir / "single.srt", F::srt), S::passed());
    test::writeFile(dir / "backwards.srt", "1\n00:00:05,000 --> 00:00:01,000\ntext\n");
    EXPECT_EQ(Validator::validate(dir / "backwards.srt", F::srt),
              S::failed("Cue 1 ends before it starts"));
    test::writeFile(dir / "none.srt", "not a subtitle\n");
    EXPECT_EQ(Validator::validate(dir / "none.srt", F::srt),
              S::failed("No cues parsed back from output"));
    test::writeFile(dir / "unsigned.vtt", "00:00:01.000 --> 00:00:02.000\nhello\n");
    EXPECT_EQ(Validator::validate(dir / "unsigned.vtt", F::vtt),
              S::failed("WebVTT file must begin with the WEBVTT signature"));
    test::writeFile(dir / "ok.vtt", "WEBVTT\n\n00:00:01.000 --> 01:00:02.000\nhello\n");
    EXPECT_EQ(Validator::validate(dir / "ok.vtt", F::vtt), S::passed());
}

TEST(Validator, FontsAreDecodedAndLoaded) {
    test::TempDir dir;
    // Twelve bytes fail whatever the signature says.
    for (const char* signature : {"OTTO", "wOFF", "wOF2", "true"}) {
        test::writeFile(dir / "tiny.font", std::string(signature) + std::string(8, '\0'));
        for (const auto target : {F::ttf, F::otf, F::woff, F::woff2})
            EXPECT_EQ(Validator::validate(dir / "tiny.font", target),
                      S::failed("Font file is empty or truncated."))
                << signature;
    }
    test::writeFile(dir / "text.ttf", std::string(64, 'x'));
    EXPECT_EQ(Validator::validate(dir / "text.ttf", F::ttf),
              S::failed("Not a recognised TrueType container."));
    EXPECT_EQ(Validator::validate(dir / "text.ttf", F::otf),
              S::failed("Not a recognised OpenType container."));
    EXPECT_EQ(Validator::validate(dir / "text.ttf", F::woff), S::failed("Missing wOFF signature."));
    EXPECT_EQ(Validator::validate(dir / "text.ttf", F::woff2),
              S::failed("Missing wOF2 signature."));
    test::writeFile(dir / "broken.woff", "wOFF" + std::string(60, '\x7F'));
    EXPECT_EQ(Validator::validate(dir / "broken.woff", F::woff),
              S::failed("WOFF file does not decode back to a valid font."));
    test::writeFile(dir / "broken.woff2", "wOF2" + std::string(60, '\x7F'));
    EXPECT_EQ(Validator::validate(dir / "broken.woff2", F::woff2),
              S::failed("WOFF2 file does not decode back to a valid font."));
    // A header with no tables: the signature is right but no font engine can load it.
    test::writeFile(dir / "empty.otf", std::string("OTTO\0\0\0\0\0\0\0\0\0\0\0\0", 16));
    EXPECT_EQ(Validator::validate(dir / "empty.otf", F::otf),
              S::failed("The system font engine could not load the output."));
    const std::filesystem::path system = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    if (std::filesystem::exists(system)) {
        EXPECT_EQ(Validator::validate(system, F::ttf), S::passed());
    }
}

TEST(Validator, RichTextIsParsedBack) {
    test::TempDir dir;
    richtext::RichText text;
    text.append("Hello, world.", {});
    test::writeFile(dir / "ok.rtf", richtext::writeRTF(text));
    EXPECT_EQ(Validator::validate(dir / "ok.rtf", F::rtf), S::passed());
    // The right header over a body the reader cannot take: an unterminated binary blob.
    test::writeFile(dir / "bin.rtf", "{\\rtf1 {\\bin999 abc}}");
    EXPECT_EQ(Validator::validate(dir / "bin.rtf", F::rtf),
              S::failed("RTF could not be parsed by NSAttributedString"));

    const auto docx = richtext::writeDOCX(text);
    test::writeFile(dir / "ok.docx", std::string(docx.begin(), docx.end()));
    EXPECT_EQ(Validator::validate(dir / "ok.docx", F::docx), S::passed());
    // A ZIP that is no Office document: the magic passes, the parse does not.
    const ArchiveConverter::ZipEntry entry{.name = "hello.txt", .data = "hi", .modified = 0};
    const auto zip = ArchiveConverter::buildZIP(std::span(&entry, 1));
    test::writeFile(dir / "plain.docx", std::string(zip.begin(), zip.end()));
    EXPECT_EQ(Validator::validate(dir / "plain.docx", F::docx),
              S::failed("DOCX could not be parsed by NSAttributedString"));
    test::writeFile(dir / "text.docx", "hello there");
    EXPECT_EQ(Validator::validate(dir / "text.docx", F::docx),
              S::failed("DOCX (ZIP magic): got [68 65 6C 6C], want [50 4B 03 04]"));
}

} // namespace kv
