// Publishing after the check, taken names, long names, and the sweep of a dead owner's entries.
#include "engine/conversion_error.h"
#include "engine/dispatch/conversion_engine.h"
#include "engine/leftovers.h"
#include "engine/logger.h"
#include "engine/output_file.h"
#include "engine/output_name_registry.h"
#include "engine/staging_folder.h"
#include "support/test_support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace kv {
namespace {

namespace fs = std::filesystem;

std::size_t entryCount(const fs::path& folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder))
        ++count;
    return count;
}

bool isValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80         ? 1
                                   : (c >> 5) == 6  ? 2
                                   : (c >> 4) == 14 ? 3
                                   : (c >> 3) == 30 ? 4
                                                    : 0;
        if (length == 0 || i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

// Another process publishes at the reserved name just before this one does.
fs::path writeAfterAnotherProcess(const ConvertRequest& request) {
    const fs::path reserved =
        OutputNameRegistry::shared().reserve(request.outputDir, "raced", "zip");
    test::writeFile(reserved, "someone else's file");
    writeOutputFile(reserved, std::string_view("PK\x03\x04 fine"));
    return reserved; // as a converter that ignores where the publish went would
}

} // namespace

TEST(PublishCheck, RunsOnThePendingEntryAndARefusalPublishesNothing) {
    test::TempDir dir;
    int calls = 0;
    {
        PublishCheck check(dir.path(), [&](const fs::path& pending, const fs::path& destination,
                                           PendingOutput::Kind kind) {
            ++calls;
            EXPECT_EQ(kind, PendingOutput::Kind::file);
            EXPECT_EQ(test::readFile(pending), "bad");
            EXPECT_FALSE(fs::exists(destination)); // not published before it is checked
            throw ConversionError::corruptFile("refused");
        });
        EXPECT_THROW(writeOutputFile(dir / "a.txt", std::string_view("bad")), ConversionError);
        EXPECT_TRUE(check.published().empty());
        // Pages written inside a pending folder are not outputs of their own.
        PendingOutput pages(dir / "pages", PendingOutput::Kind::folder);
        writeOutputFile(pages.path() / "page_001.txt", std::string_view("bad"));
        EXPECT_EQ(calls, 1);
    }
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(entryCount(dir.path()), 0u);
    // Out of the scope, no check runs.
    writeOutputFile(dir / "a.txt", std::string_view("bad"));
    EXPECT_EQ(calls, 1);
}

TEST(PublishCheck, EngineReturnsTheNameThePublishReallyTook) {
    ConversionLogger::shared().setEcho(ConversionLogger::Echo::none);
    test::TempDir dir;
    test::writeFile(dir / "in.zip", "PK\x03\x04 source");
    ConversionJob job;
    job.sourceURL = dir / "in.zip";
    job.fileName = "in.zip";
    job.detectedFormat = SupportedFormat::zip;
    job.targetFormat = SupportedFormat::zip;
    const auto output = ConversionEngine::convertWith(&writeAfterAnotherProcess, job, dir / "out");
    EXPECT_EQ(output, dir / "out" / "raced (1).zip");
    EXPECT_EQ(test::readFile(output), "PK\x03\x04 fine");
    EXPECT_EQ(test::readFile(dir / "out" / "raced.zip"), "someone else's file");
}

TEST(OutputNames, OverlongNamesLoseTheEndOfTheBaseAtACharacterBoundary) {
    test::TempDir dir;
    std::string base;
    for (int i = 0; i < 130; ++i)
        base += "\u00e9"; // 260 bytes of two-byte characters
    base = "x" + base;    // odd length: a cut at 255 would split one
    const fs::path first = OutputNameRegistry::shared().reserve(dir.path(), base, "json");
    const std::string name = first.filename().string();
    EXPECT_LE(name.size(), 255u);
    EXPECT_GE(name.size(), 250u);
    EXPECT_TRUE(name.ends_with(".json"));
    EXPECT_TRUE(isValidUtf8(name));
    writeOutputFile(first, std::string_view("[]")); // the file system takes it

    const fs::path second = OutputNameRegistry::shared().reserve(dir.path(), base, "json");
    EXPECT_TRUE(second.filename().string().ends_with(" (1).json"));
    EXPECT_LE(second.filename().string().size(), 255u);
    EXPECT_TRUE(isValidUtf8(second.filename().string()));
    writeOutputFile(second, std::string_view("[]"));
    EXPECT_EQ(entryCount(dir.path()), 2u);
}

TEST(Leftovers, OwnerTagsNameThisProcessAndTellDeadOnesApart) {
    const std::string& own = Leftovers::ownerTag();
    EXPECT_TRUE(own.starts_with(std::to_string(::getpid()) + "-"));
    EXPECT_TRUE(Leftovers::ownerAlive(own));
    // A pid that cannot exist, and this pid with another start time (a reused pid).
    EXPECT_FALSE(Leftovers::ownerAlive("999999999-5"));
    EXPECT_FALSE(Leftovers::ownerAlive(std::to_string(::getpid()) + "-1"));

    EXPECT_EQ(Leftovers::ownerOf(".kv-12-345-ABCDEF01.json"), "12-345");
    EXPECT_EQ(Leftovers::ownerOf("Kelvane_12-345-E621E1F8-C36C"), "12-345");
    EXPECT_EQ(Leftovers::ownerOf("Kelvane_12-345.journal"), "12-345");
    EXPECT_EQ(Leftovers::ownerOf("Kelvane_E621E1F8-C36C"), ""); // no owner: never swept
    EXPECT_EQ(Leftovers::ownerOf(".kv-12.json"), "");
    EXPECT_EQ(Leftovers::ownerOf("report.json"), "");

    PendingOutput pending(fs::temp_directory_path() / "x.bin");
    EXPECT_EQ(Leftovers::ownerOf(pending.path().filename().string()), own);
    StagingFolder staging;
    EXPECT_EQ(Leftovers::ownerOf(staging.path().filename().string()), own);
}

TEST(Leftovers, SweepRemovesOnlyEntriesOfDeadOwners) {
    test::TempDir dir;
    const std::string dead = "999999999-5";
    const fs::path deadPending = dir / (".kv-" + dead + "-0000ABCD.json");
    const fs::path deadFolder = dir / (".kv-" + dead + "-0000ABCE");
    const fs::path unrelated = dir / ".kv-notes";
    test::writeFile(deadPending, "half");
    test::writeFile(deadFolder / "1.png", "x");
    test::writeFile(unrelated, "mine");
    PendingOutput live(dir / "live.json");

    const auto count = Leftovers::sweepFolder(dir.path());
    EXPECT_EQ(count.removed, 2u);
    EXPECT_FALSE(fs::exists(deadPending));
    EXPECT_FALSE(fs::exists(deadFolder));
    EXPECT_TRUE(fs::exists(unrelated));
    EXPECT_TRUE(fs::exists(live.path()));

    // Elsewhere: a dead owner's staging folder, and a pending file its journal lists.
    const fs::path temp = fs::temp_directory_path();
    const fs::path staging = temp / ("Kelvane_" + dead + "-E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    const fs::path listed = dir / (".kv-" + dead + "-0000ABCF.zip");
    const fs::path listedButNotTagged = dir / "report.zip";
    test::writeFile(staging / "a" / "b.txt", "x");
    test::writeFile(listed, "half");
    test::writeFile(listedButNotTagged, "a user's file");
    {
        std::ofstream journal(temp / ("Kelvane_" + dead + ".journal"));
        journal << listed.string() << "\n" << listedButNotTagged.string() << "\n";
    }
    StagingFolder ownStaging;
    Leftovers::sweep();
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_FALSE(fs::exists(listed));
    EXPECT_FALSE(fs::exists(temp / ("Kelvane_" + dead + ".journal")));
    EXPECT_TRUE(fs::exists(listedButNotTagged));
    EXPECT_TRUE(fs::exists(ownStaging.path()));
    EXPECT_TRUE(fs::exists(live.path()));
}

} // namespace kv
