#include "formats/format_capabilities.h"
#include "formats/supported_format.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace kv {
namespace {

using F = SupportedFormat;

bool contains(const std::vector<F>& list, F f) {
    return std::find(list.begin(), list.end(), f) != list.end();
}

} // namespace

TEST(SupportedFormat, CatalogueOrderAndRawValues) {
    ASSERT_EQ(allFormats().size(), 56u);
    EXPECT_EQ(allFormats().front(), F::png);
    EXPECT_EQ(allFormats().back(), F::extractAudio);
    for (std::size_t i = 0; i < allFormats().size(); ++i) {
        const F f = allFormats()[i];
        EXPECT_EQ(static_cast<std::size_t>(f), i);
        EXPECT_EQ(formatFromRawValue(rawValue(f)), f);
        EXPECT_NE(categoryOf(f), FileCategory::unknown);
    }
    EXPECT_EQ(formatFromRawValue("JPEG"), std::nullopt);
    EXPECT_EQ(rawValue(F::markdown), "markdown");
    EXPECT_EQ(displayName(F::jp2), "JPEG 2000");
    EXPECT_EQ(displayName(F::pdfSplit), "Split PDF (per page)");
}

TEST(SupportedFormat, ExtensionsDifferFromRawValueInExactlyNineCases) {
    int differing = 0;
    for (F f : allFormats())
        if (fileExtension(f) != rawValue(f))
            ++differing;
    EXPECT_EQ(differing, 9);
    EXPECT_EQ(fileExtension(F::alac), "m4a");
    EXPECT_EQ(fileExtension(F::markdown), "md");
    EXPECT_EQ(fileExtension(F::gzip), "gz");
    EXPECT_EQ(fileExtension(F::tiff), "tiff");
}

TEST(SupportedFormat, RecognisesExtensionsCaseInsensitivelyAndExactly) {
    EXPECT_EQ(formatFromExtension("JPG"), F::jpg);
    EXPECT_EQ(formatFromExtension("jpeg"), F::jpeg);
    EXPECT_EQ(formatFromExtension("Tif"), F::tiff);
    EXPECT_EQ(formatFromExtension("MD"), F::markdown);
    EXPECT_EQ(formatFromExtension("dng"), F::raw);
    EXPECT_EQ(formatFromExtension("webvtt"), F::vtt);
    for (const char* never : {"svg", "webm", "epub", "", ".png", " png"})
        EXPECT_EQ(formatFromExtension(never), std::nullopt) << never;
}

TEST(SupportedFormat, CategoriesOfDataAndPseudoTargets) {
    EXPECT_EQ(categoryOf(F::csv), FileCategory::document);
    EXPECT_EQ(categoryOf(F::vtt), FileCategory::document);
    EXPECT_EQ(categoryOf(F::pdfSplit), FileCategory::document);
    EXPECT_EQ(categoryOf(F::pdfPagePng), FileCategory::image);
    EXPECT_EQ(categoryOf(F::extractAudio), FileCategory::audio);
    EXPECT_EQ(rawValue(FileCategory::archive), "Archive");
}

TEST(ConversionMatrix, HoldsAll370PairsWithEveryEncoderPresent) {
    for (F f : allFormats()) {
        if (!FormatCapabilities::canProduce(f))
            GTEST_SKIP() << "no encoder for " << rawValue(f);
    }
    std::size_t pairs = 0;
    for (F f : allFormats())
        pairs += possibleConversions(f).size();
    EXPECT_EQ(pairs, 370u);
    // Per-family counts as documented.
    EXPECT_EQ(possibleConversions(F::png).size(), 13u);
    EXPECT_EQ(possibleConversions(F::webp).size(), 14u);
    EXPECT_EQ(possibleConversions(F::gif).size(), 16u);
}

TEST(ConversionMatrix, OrderRules) {
    const auto jpg = possibleConversions(F::jpg);
    EXPECT_FALSE(contains(jpg, F::jpeg));
    EXPECT_FALSE(contains(jpg, F::jpg));
    EXPECT_FALSE(contains(possibleConversions(F::jpeg), F::jpeg));
    const auto png = possibleConversions(F::png);
    EXPECT_TRUE(contains(png, F::jpeg));
    EXPECT_FALSE(contains(png, F::jpg));
    EXPECT_FALSE(contains(png, F::png));

    const auto gif = possibleConversions(F::gif);
    ASSERT_GE(gif.size(), 4u);
    EXPECT_EQ(gif.front(), F::png);
    EXPECT_EQ(std::vector<F>(gif.end() - 3, gif.end()), (std::vector<F>{F::mp4, F::mov, F::m4v}));
    for (F video : {F::mp4, F::mov, F::m4v, F::avi, F::webm})
        EXPECT_EQ(possibleConversions(video).back(), F::extractAudio);

    const auto pdf = possibleConversions(F::pdf);
    EXPECT_EQ(std::vector<F>(pdf.end() - 3, pdf.end()),
              (std::vector<F>{F::pdfPagePng, F::pdfPageJpeg, F::pdfSplit}));
    EXPECT_EQ(possibleConversions(F::csv),
              (std::vector<F>{F::tsv, F::json, F::html, F::markdown, F::pdf}));
    EXPECT_EQ(possibleConversions(F::srt), (std::vector<F>{F::vtt, F::txt}));
    EXPECT_EQ(possibleConversions(F::woff2), (std::vector<F>{F::woff}));

    for (F none : {F::pdf_image, F::svg, F::epub, F::pdfPagePng, F::pdfPageJpeg, F::pdfSplit,
                   F::extractAudio})
        EXPECT_TRUE(possibleConversions(none).empty()) << rawValue(none);
    // Never a target anywhere.
    for (F source : allFormats())
        for (F t : possibleConversions(source))
            for (F never : {F::jpg, F::heif, F::webp, F::jxl, F::raw, F::avi, F::webm, F::mp3,
                            F::ttf, F::otf})
                EXPECT_NE(t, never) << rawValue(source);
}

TEST(ConversionMatrix, RasterTargetsAlwaysOfferOwnWriters) {
    const auto targets = rasterTargets(F::webp);
    EXPECT_TRUE(contains(targets, F::pdf_image));
    EXPECT_TRUE(contains(targets, F::svg));
    EXPECT_TRUE(contains(targets, F::ico));
    EXPECT_EQ(targets.back(), F::svg);
}

} // namespace kv
