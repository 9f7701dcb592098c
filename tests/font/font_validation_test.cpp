// The font check of the output validator: decode back, then FreeType.
#include "font/sfnt.h"
#include "font/woff.h"
#include "font/woff2_container.h"
#include "font_fixtures.h"
#include "support/test_support.h"
#include "validate/validator.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

using namespace test::fonts;
using F = SupportedFormat;

ValidationStatus check(const test::TempDir& dir, const Bytes& bytes, F target) {
    const auto file = dir / "font.bin";
    writeBytes(file, bytes);
    return Validator::validateFont(file, target);
}

const std::vector<Bytes> kGlyphs{{}, simpleGlyph({{{0, 0}, {100, 700}, {500, 0}}})};

TEST(ValidateFont, AcceptsWellFormedFontsInEveryContainer) {
    test::TempDir dir;
    const auto font = makeFont(kGlyphs);
    EXPECT_EQ(check(dir, font.sfntData(), F::ttf), ValidationStatus::passed());
    EXPECT_EQ(check(dir, font.sfntData(), F::otf), ValidationStatus::passed());
    EXPECT_EQ(check(dir, FontConverter::encodeWOFF(font), F::woff), ValidationStatus::passed());
    EXPECT_EQ(check(dir, FontConverter::encodeWOFF2(font), F::woff2), ValidationStatus::passed());
    EXPECT_EQ(Validator::validate(kCantarell, F::otf), ValidationStatus::passed());
}

TEST(ValidateFont, ReportsEachKindOfBadOutput) {
    test::TempDir dir;
    const auto failed = [](const char* reason) { return ValidationStatus::failed(reason); };
    const auto font = makeFont(kGlyphs);
    const auto sfnt = font.sfntData();
    const auto woff = FontConverter::encodeWOFF(font);
    const auto woff2 = FontConverter::encodeWOFF2(font);

    EXPECT_EQ(check(dir, Bytes(woff.begin(), woff.begin() + 12), F::woff),
              failed("Font file is empty or truncated."));
    EXPECT_EQ(check(dir, woff, F::ttf), failed("Not a recognised TrueType container."));
    EXPECT_EQ(check(dir, woff2, F::otf), failed("Not a recognised OpenType container."));
    EXPECT_EQ(check(dir, woff, F::woff2), failed("Missing wOF2 signature."));
    EXPECT_EQ(check(dir, sfnt, F::woff), failed("Missing wOFF signature."));
    EXPECT_EQ(check(dir, Bytes(woff2.begin(), woff2.end() - 8), F::woff2),
              failed("WOFF2 file does not decode back to a valid font."));
    EXPECT_EQ(check(dir, Bytes(woff.begin(), woff.end() - 8), F::woff),
              failed("WOFF file does not decode back to a valid font."));
    EXPECT_EQ(check(dir, woff, F::png), ValidationStatus::skipped());

    Bytes junk{0, 1, 0, 0};
    junk.resize(64, 0xEE);
    EXPECT_EQ(check(dir, junk, F::ttf),
              failed("The system font engine could not load the output."));

    auto nameless = font;
    std::erase_if(nameless.tables,
                  [](const auto& t) { return t.tag == FontConverter::stringToTag("name"); });
    EXPECT_EQ(check(dir, nameless.sfntData(), F::ttf),
              failed("Output font has no PostScript name \u2014 the name table did not survive."));
}

} // namespace
} // namespace kv
