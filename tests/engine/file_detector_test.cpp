#include "engine/file_detector.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace kv {

using F = SupportedFormat;

TEST(FileDetector, NameDecidesWheneverTheExtensionIsKnown) {
    test::TempDir dir;
    test::writeFile(dir / "photo.JPG", "not really a jpeg");
    EXPECT_EQ(FileDetector::detect(dir / "photo.JPG"), F::jpg);
    EXPECT_EQ(FileDetector::detect(dir / "photo.jpeg"), F::jpeg);
    EXPECT_EQ(FileDetector::detect(dir / "notes.text"), F::txt);
    EXPECT_EQ(FileDetector::detect(dir / "data.csv"), F::csv);
    test::writeFile(dir / "movie.webm", "\x1A\x45\xDF\xA3");
    EXPECT_EQ(FileDetector::detect(dir / "movie.webm"), std::nullopt);
}

TEST(FileDetector, ContentTypeDecidesWithoutAKnownExtension) {
    test::TempDir dir;
    test::writeFile(dir / "notes", "Just some plain words.\nAnother line.\n");
    EXPECT_EQ(FileDetector::detect(dir / "notes"), F::txt);
    test::writeFile(dir / "page", "<!DOCTYPE html><html><body><p>hi</p></body></html>");
    EXPECT_EQ(FileDetector::detect(dir / "page"), F::html);
    test::writeFile(dir / "letter", "{\\rtf1\\ansi hello}");
    EXPECT_EQ(FileDetector::detect(dir / "letter"), F::rtf);
    test::writeFile(dir / "picture.dat", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    EXPECT_EQ(FileDetector::detect(dir / "picture.dat"), F::png);
    test::writeFile(dir / "bundle",
                    std::string("PK\x03\x04\x14\0\0\0\0\0", 10) + std::string(40, '\0'));
    EXPECT_EQ(FileDetector::detect(dir / "bundle"), F::zip);
    test::writeFile(dir / "drawing",
                    "<?xml version=\"1.0\"?><svg xmlns=\"http://www.w3.org/2000/svg\"/>");
    EXPECT_EQ(FileDetector::detect(dir / "drawing"), std::nullopt);
}

TEST(FileDetector, ContentTypeTableOrder) {
    EXPECT_EQ(FileDetector::formatFromContentType("text/csv"), F::txt); // plain-text subtype
    EXPECT_EQ(FileDetector::formatFromContentType("text/html"), F::html);
    EXPECT_EQ(FileDetector::formatFromContentType("application/rtf"), F::rtf);
    EXPECT_EQ(FileDetector::formatFromContentType("video/mp4"), F::mp4);
    EXPECT_EQ(FileDetector::formatFromContentType("audio/x-wav"), F::wav);
    EXPECT_EQ(FileDetector::formatFromContentType("application/x-tar"), std::nullopt);
}

TEST(FileDetector, JobsAreCreatedByNameEvenForMissingFiles) {
    test::TempDir dir;
    const auto job = FileDetector::createJob(dir / "gone.png");
    ASSERT_TRUE(job);
    EXPECT_EQ(job->fileSize, 0);
    EXPECT_EQ(job->fileName, "gone.png");
    EXPECT_EQ(job->status, ConversionStatus::pending);
    EXPECT_FALSE(job->targetFormat);
    EXPECT_FALSE(FileDetector::createJob(dir / "unknown"));
    test::writeFile(dir / "a b.tar", std::string(1024, 'x'));
    EXPECT_EQ(FileDetector::createJob(dir / "a b.tar")->fileSize, 1024);
}

} // namespace kv
