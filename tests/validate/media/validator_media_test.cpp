// Checks that need the image, PDF and media services: crafted bad outputs and their messages.
#include "support/pdf_fixtures.h"
#include "support/test_support.h"
#include "validate/validator.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kv {
namespace {

using F = SupportedFormat;
using S = ValidationStatus;

// A PDF of the given page objects (each "<< /Type /Page … >>" body plus its content stream), with a
// correct cross-reference table so that no reader has to repair it.
std::string makePDF(const std::vector<std::pair<std::string, std::string>>& pages) {
    std::vector<std::string> objects;
    std::string kids;
    const std::size_t first = 3;
    for (std::size_t i = 0; i < pages.size(); ++i)
        kids += std::to_string(first + 2 * i) + " 0 R ";
    objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
    objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " +
                      std::to_string(pages.size()) + " >>");
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const auto& [mediaBox, content] = pages[i];
        objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [" + mediaBox + "] /Contents " +
                          std::to_string(first + 2 * i + 1) + " 0 R >>");
        objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" +
                          content + "\nendstream");
    }
    std::string pdf = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (const auto offset : offsets) {
        std::string number = std::to_string(offset);
        pdf += std::string(10 - number.size(), '0') + number + " 00000 n \n";
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

// A mono 16-bit WAV of `frames` samples of silence at 44.1 kHz.
std::string makeWAV(std::uint32_t frames) {
    auto le32 = [](std::uint32_t v) {
        return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                           static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
    };
    const std::uint32_t data = frames * 2;
    std::string wav = "RIFF" + le32(36 + data) + "WAVEfmt " + le32(16);
    wav += std::string("\x01\x00\x01\x00", 4) + le32(44100) + le32(88200) +
           std::string("\x02\x00\x10\x00", 4);
    return wav + "data" + le32(data) + std::string(data, '\0');
}

} // namespace

TEST(ValidatorMedia, DocumentPdfNeedsAnOpaqueLightPage) {
    test::TempDir dir;
    test::writeFile(dir / "black.pdf", makePDF({{"0 0 200 200", "0 0 0 rg 0 0 200 200 re f"}}));
    EXPECT_EQ(Validator::validate(dir / "black.pdf", F::pdf),
              S::failed("PDF corner is dark RGB(0,0,0) \u2014 page has dark background"));
    // An image PDF only has to be opaque: black is a fine picture.
    EXPECT_EQ(Validator::validate(dir / "black.pdf", F::pdf_image), S::passed());

    // Text drawn straight onto the page, with no background under it.
    test::writeTextPDF(dir / "bare.pdf", {"Hello"});
    EXPECT_EQ(Validator::validate(dir / "bare.pdf", F::pdf),
              S::failed("PDF corner is transparent \u2014 page lacks background fill (inversion "
                        "bug)"));
    EXPECT_EQ(Validator::validate(dir / "bare.pdf", F::pdf_image),
              S::failed("Image-PDF corner is transparent \u2014 broken file"));

    test::writeFile(dir / "white.pdf", makePDF({{"0 0 300 400", "1 1 1 rg 0 0 300 400 re f"}}));
    EXPECT_EQ(Validator::validate(dir / "white.pdf", F::pdf), S::passed());
    // Marks that reach a corner (a glyph, a coloured square, a header bar) leave a light page;
    // a page whose edges are mostly dark is named by its first dark corner in reading order.
    test::writeFile(dir / "marks.pdf",
                    makePDF({{"0 0 200 200", "1 1 1 rg 0 0 200 200 re f 0 g 3 191 6 6 re f "
                                             "0.2 0.4 0.6 rg 180 0 20 20 re f "
                                             "0.2 0.2 0.2 rg 0 170 200 30 re f"}}));
    EXPECT_EQ(Validator::validate(dir / "marks.pdf", F::pdf), S::passed());
    test::writeFile(dir / "framed.pdf",
                    makePDF({{"0 0 200 200", "0.9 0.9 0.9 rg 0 0 200 200 re f 0.2 0.4 0.6 rg "
                                             "0 0 200 120 re f 0 0 40 200 re f 1 g 60 20 100 100 "
                                             "re f"}}));
    EXPECT_EQ(Validator::validate(dir / "framed.pdf", F::pdf),
              S::failed("PDF corner is dark RGB(51,102,153) \u2014 page has dark background"));
    // A page of a few points still yields a raster of at least 2 × 2 whose corners are the page.
    test::writeFile(dir / "tiny.pdf", makePDF({{"0 0 5 7", "1 1 1 rg 0 0 5 7 re f"}}));
    EXPECT_EQ(Validator::validate(dir / "tiny.pdf", F::pdf), S::passed());
}

TEST(ValidatorMedia, PdfPagesAndUnreadableFiles) {
    test::TempDir dir;
    test::writeFile(dir / "empty.pdf", makePDF({}));
    EXPECT_EQ(Validator::validate(dir / "empty.pdf", F::pdf),
              S::failed("PDF has 0 pages, expected \u2265 1"));
    test::writeFile(dir / "two.pdf", makePDF({{"0 0 100 100", "1 1 1 rg 0 0 100 100 re f"},
                                              {"0 0 100 100", "1 1 1 rg 0 0 100 100 re f"}}));
    EXPECT_EQ(Validator::validatePDF(dir / "two.pdf", 3, PDFBackgroundRequirement::light),
              S::failed("PDF has 2 pages, expected \u2265 3"));
    test::writeFile(dir / "text.pdf", "this is not a PDF at all");
    EXPECT_EQ(Validator::validate(dir / "text.pdf", F::pdf),
              S::failed("PDFDocument cannot open file"));

    // A split folder is judged by its first PDF by name.
    std::filesystem::create_directory(dir / "split");
    test::writeFile(dir / "split" / "b.pdf", makePDF({{"0 0 90 90", "1 g 0 0 90 90 re f"}}));
    test::writeFile(dir / "split" / "a.pdf", makePDF({}));
    EXPECT_EQ(Validator::validate(dir / "split", F::pdfSplit),
              S::failed("PDF has 0 pages, expected \u2265 1"));
    // Split pages are the source's own: a dark slide passes, a page with no fill does not.
    test::writeFile(dir / "split" / "a.pdf", makePDF({{"0 0 200 200", "0 g 0 0 200 200 re f"}}));
    EXPECT_EQ(Validator::validate(dir / "split", F::pdfSplit), S::passed());
    test::writeTextPDF(dir / "split" / "a.pdf", {"Hello"});
    EXPECT_EQ(Validator::validate(dir / "split", F::pdfSplit),
              S::failed("Image-PDF corner is transparent \u2014 broken file"));
}

TEST(ValidatorMedia, ImagesMustDecode) {
    test::TempDir dir;
    test::writeFile(dir / "text.png", "definitely not an image");
    EXPECT_EQ(Validator::validate(dir / "text.png", F::png),
              S::failed("CGImageSource cannot open file"));
    // A page-per-file folder is judged by its first image.
    std::filesystem::create_directory(dir / "pages");
    test::writeFile(dir / "pages" / "page-1.png", "not a png");
    EXPECT_EQ(Validator::validate(dir / "pages", F::pdfPagePng),
              S::failed("CGImageSource cannot open file"));
}

TEST(ValidatorMedia, AudioNeedsDurationAndTrack) {
    test::TempDir dir;
    test::writeFile(dir / "empty.wav", makeWAV(0));
    EXPECT_EQ(Validator::validate(dir / "empty.wav", F::wav), S::failed("AVAsset duration is 0.0"));
    test::writeFile(dir / "tone.wav", makeWAV(22050));
    EXPECT_EQ(Validator::validate(dir / "tone.wav", F::wav), S::passed());
    EXPECT_EQ(Validator::validate(dir / "tone.wav", F::mp4),
              S::failed("AVAsset has no vide tracks"));
    test::writeFile(dir / "text.mp3", "no audio here");
    const auto status = Validator::validate(dir / "text.mp3", F::mp3);
    EXPECT_TRUE(status.isFailed());
    EXPECT_EQ(status.reason.rfind("AVAsset load failed: ", 0), 0u) << status.reason;
}

} // namespace kv
