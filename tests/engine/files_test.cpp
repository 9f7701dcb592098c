#include "engine/conversion_error.h"
#include "engine/output_file.h"
#include "engine/source_file.h"
#include "engine/staging_folder.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

TEST(PendingOutput, PublishesCompleteFileAndLeavesNoTemporary) {
    test::TempDir dir;
    const auto out = writeOutputFile(dir / "r\u00e9sum\u00e9 -x.txt", std::string_view("hello"));
    EXPECT_EQ(test::readFile(out), "hello");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST(PendingOutput, NeverReplacesOrFollowsWhatAppearedAtTheNameButTakesTheNextOne) {
    test::TempDir dir;
    test::writeFile(dir / "taken.txt", "original");
    test::writeFile(dir / "taken (1).txt", "original 1");
    // Without a check to learn where it went, a taken name fails the publish.
    EXPECT_THROW(writeOutputFile(dir / "taken.txt", std::string_view("new")), ConversionError);
    const PublishCheck check(dir.path(), {});
    EXPECT_EQ(writeOutputFile(dir / "taken.txt", std::string_view("new")), dir / "taken (2).txt");
    EXPECT_EQ(test::readFile(dir / "taken.txt"), "original");
    EXPECT_EQ(test::readFile(dir / "taken (2).txt"), "new");

    // A dangling link at the name: publishing must not create its target.
    std::filesystem::create_symlink(dir / "target.txt", dir / "link.txt");
    EXPECT_EQ(writeOutputFile(dir / "link.txt", std::string_view("new")), dir / "link (1).txt");
    EXPECT_FALSE(std::filesystem::exists(dir / "target.txt"));
    EXPECT_EQ(check.published(),
              (std::vector<std::filesystem::path>{dir / "taken (2).txt", dir / "link (1).txt"}));
    // No publish left a pending file behind.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 5u);
}

TEST(PendingOutput, AbandonedOutputIsRemovedAndFoldersPublishWhole) {
    test::TempDir dir;
    std::filesystem::path temporary;
    {
        PendingOutput pending(dir / "half.bin");
        temporary = pending.path();
        EXPECT_EQ(temporary.parent_path(), dir.path());
        // Short whatever the destination's name, keeping its extension.
        EXPECT_TRUE(temporary.filename().string().starts_with(".kv-"));
        EXPECT_TRUE(temporary.filename().string().ends_with(".bin"));
        EXPECT_LT(temporary.filename().string().size(), 48u);
        pending.write(std::string_view("partial"));
    }
    EXPECT_FALSE(std::filesystem::exists(temporary));
    EXPECT_FALSE(std::filesystem::exists(dir / "half.bin"));

    PendingOutput folder(dir / "pages", PendingOutput::Kind::folder);
    test::writeFile(folder.path() / "1.png", "x");
    EXPECT_EQ(folder.commit(), dir / "pages");
    EXPECT_TRUE(std::filesystem::exists(dir / "pages" / "1.png"));
}

TEST(SourceFile, RefusesFoldersFifosAndMissingFilesBeforeReading) {
    test::TempDir dir;
    EXPECT_THROW(checkSourceFile(dir.path()), NotARegularFile);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_THROW(readSourceFile(dir / "pipe"),
                 NotARegularFile); // must not block waiting for a writer
    try {
        readSourceFile(dir / "missing.png");
        FAIL();
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::fileAccessDenied);
    }
    test::writeFile(dir / "-leading dash.txt", std::string(100'000, 'z'));
    EXPECT_EQ(readSourceFile(dir / "-leading dash.txt").size(), 100'000u);
    EXPECT_EQ(sourceFileSize(dir / "-leading dash.txt"), 100'000);
    EXPECT_EQ(sourceFileSize(dir / "missing"), 0);
}

TEST(SourceFile, UnreadableFileIsAccessDenied) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    test::TempDir dir;
    test::writeFile(dir / "secret.txt", "x");
    std::filesystem::permissions(dir / "secret.txt", std::filesystem::perms::none);
    EXPECT_THROW(readSourceFile(dir / "secret.txt"), ConversionError);
}

TEST(StagingFolder, IsPrivateAndRemovedWithItsContents) {
    std::filesystem::path where;
    {
        StagingFolder staging;
        where = staging.path();
        EXPECT_TRUE(where.filename().string().starts_with("Kelvane_"));
        struct stat info {};
        ASSERT_EQ(::stat(where.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        test::writeFile(where / "a" / "b.txt", "x");
    }
    EXPECT_FALSE(std::filesystem::exists(where));
}

TEST(ConversionError, MessagesAreVerbatim) {
    using E = ConversionError;
    const std::pair<E, const char*> cases[] = {
        {E::unsupportedConversion("PNG", "MP3"), "Converting PNG \u2192 MP3 is not supported."},
        {E::exportSessionFailed("x"), "Export failed: x"},
        {E::fileAccessDenied("/a b"), "Cannot access file at /a b. Try re-adding the file."},
        {E::corruptFile("bad"), "File appears corrupt: bad"},
        {E::failedToLoadFile(),
         "Could not read the source file. It may be corrupted or in an unsupported variant."},
        {E::unsupportedFormat(), "This file format is not supported for conversion."},
        {E::failedToCreateOutput(),
         "Could not create the output file. Check disk space and permissions."},
        {E::conversionFailed(), "Conversion failed unexpectedly."},
        {E::emptyOutput(), "Conversion produced an empty file."},
        {E::cancelled(), "Conversion was cancelled."},
        {E::noTargetSelected(), "No target format selected."},
    };
    for (const auto& [error, text] : cases)
        EXPECT_STREQ(error.what(), text);
    EXPECT_EQ(E::cancelled().kind(), E::Kind::cancelled);
}

} // namespace kv
