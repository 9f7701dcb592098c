#include "frontends/automation/convert_actions.h"
#include "frontends/in_place/folder_access.h"
#include "frontends/in_place/in_place_conversion.h"
#include "platform/settings_store.h"
#include "support/test_support.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <thread>

namespace kv {
namespace {

namespace fs = std::filesystem;
using Kind = InPlaceConversion::Outcome::Kind;

const std::string kCsv = "name,size\nalpha,1\nbeta,2\n";

// A private settings file and grants, plus a folder of files to convert.
struct Workspace {
    test::TempDir dir;
    SettingsStore store{dir / "config" / "settings.json"};
    FolderAccess access{store};

    fs::path file(std::string_view name, std::string_view bytes) {
        test::writeFile(dir / name, bytes);
        return dir / name;
    }
    InPlaceConversion::Outcome convert(const fs::path& source, SupportedFormat target,
                                       bool replace = false,
                                       std::function<void(double)> progress = {}) {
        return InPlaceConversion::convert({.source = source,
                                           .target = target,
                                           .replaceExisting = replace,
                                           .progress = std::move(progress),
                                           .stop = {}},
                                          access);
    }
};

TEST(SettingsStore, TypedValuesSurviveReopeningAndWrongTypesFallBack) {
    test::TempDir dir;
    const auto file = dir / "cfg" / "kelvane" / "settings.json";
    {
        SettingsStore store(file);
        store.set("Kelvane.imageQuality", 0.8);
        store.set("Kelvane.count", std::int64_t{3});
        store.set("Kelvane.flag", true);
        store.set("Kelvane.name", "caf\u00e9");
        store.set("Kelvane.recents", std::vector<std::string>{"a", "b"});
    }
    std::vector<std::string> warnings;
    SettingsStore::setWarningSink([&](const std::string& w) { warnings.push_back(w); });
    SettingsStore store(file);
    EXPECT_EQ(store.doubleValue("Kelvane.imageQuality"), 0.8);
    EXPECT_EQ(store.intValue("Kelvane.count"), 3);
    EXPECT_EQ(store.boolValue("Kelvane.flag"), true);
    EXPECT_EQ(store.stringValue("Kelvane.name"), "caf\u00e9");
    EXPECT_EQ(store.stringList("Kelvane.recents"), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(warnings.empty());
    // A value of another type reads as absent, with one warning line.
    EXPECT_EQ(store.boolValue("Kelvane.name"), std::nullopt);
    EXPECT_EQ(store.stringMap("Kelvane.recents"), std::nullopt);
    EXPECT_EQ(warnings.size(), 2u);
    store.remove("Kelvane.flag");
    EXPECT_EQ(store.boolValue("Kelvane.flag"), std::nullopt);
    // No temporary files are left beside the settings.
    for (const auto& entry : fs::directory_iterator(file.parent_path()))
        EXPECT_TRUE(entry.path() == file || entry.path().extension() == ".lock") << entry.path();

    test::writeFile(file, "{ not json");
    EXPECT_EQ(store.doubleValue("Kelvane.imageQuality"), std::nullopt);
    EXPECT_EQ(warnings.size(), 3u);
    store.set("Kelvane.flag", false); // a corrupt file is replaced by a valid one
    EXPECT_EQ(store.boolValue("Kelvane.flag"), false);
    SettingsStore::setWarningSink({});
}

TEST(SettingsStore, ConcurrentWritersKeepEveryKey) {
    test::TempDir dir;
    SettingsStore a(dir / "s.json"), b(dir / "s.json");
    std::thread t1([&] {
        for (int i = 0; i < 40; ++i)
            a.set("Kelvane.a" + std::to_string(i), std::int64_t{i});
    });
    std::thread t2([&] {
        for (int i = 0; i < 40; ++i)
            b.set("Kelvane.b" + std::to_string(i), std::int64_t{i});
    });
    t1.join();
    t2.join();
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(a.intValue("Kelvane.a" + std::to_string(i)), i);
        EXPECT_EQ(a.intValue("Kelvane.b" + std::to_string(i)), i);
    }
}

TEST(FolderAccess, CoversByComponentsWithLinksResolvedAndPersists) {
    Workspace w;
    fs::create_directories(w.dir / "Photos" / "2024" / "trip");
    fs::create_directories(w.dir / "Photos2");
    fs::create_directory_symlink(w.dir / "Photos" / "2024", w.dir / "shortcut");
    w.access.grant(w.dir / "Photos" / ".");
    const auto granted = fs::canonical(w.dir / "Photos");

    EXPECT_EQ(w.access.authorizedRoot(w.dir / "Photos" / "2024" / "trip"), granted);
    EXPECT_EQ(w.access.authorizedRoot(w.dir / "shortcut"), granted); // a link into the grant
    EXPECT_FALSE(w.access.canWrite(w.dir / "Photos2")); // a name prefix is not a folder
    EXPECT_FALSE(w.access.canWrite(w.dir.path()));
    EXPECT_FALSE(w.access.canWrite(w.dir / "Photos" / ".." / "Photos2"));

    // Stored under the documented key; a second instance reads the same grants.
    EXPECT_EQ(w.store.stringMap(FolderAccess::kSettingsKey)->count(granted.string()), 1u);
    FolderAccess again(w.store);
    EXPECT_EQ(again.authorizedPaths(), std::vector<std::string>{granted.string()});

    // A grant whose folder is gone is dropped on first use.
    fs::remove_all(w.dir / "Photos");
    EXPECT_EQ(again.with(granted, [] { return 1; }), std::nullopt);
    EXPECT_TRUE(again.authorizedPaths().empty());
    EXPECT_TRUE(w.store.stringMap(FolderAccess::kSettingsKey)->empty());
}

TEST(FolderAccess, NonMapSettingMeansNoGrants) {
    test::TempDir dir;
    SettingsStore store(dir / "s.json");
    store.set(FolderAccess::kSettingsKey, std::vector<std::string>{"/"});
    SettingsStore::setWarningSink([](const std::string&) {});
    FolderAccess access(store);
    SettingsStore::setWarningSink({});
    EXPECT_FALSE(access.canWrite("/tmp"));
}

TEST(InPlaceConversion, RefusalsComeBeforeAnyFolderCheckAndLeaveTheSourceAlone) {
    Workspace w; // nothing is granted: a folder check would answer needsAuthorization
    const auto song = w.file("song.M4A", "not really audio");
    auto outcome = w.convert(song, SupportedFormat::alac);
    EXPECT_EQ(outcome.kind, Kind::failed);
    EXPECT_EQ(outcome.message, "song.M4A is already ALAC.");

    const auto pdf = w.file("book.pdf", "%PDF-1.4\n");
    outcome = w.convert(pdf, SupportedFormat::pdfSplit);
    EXPECT_EQ(outcome.kind, Kind::failed);
    EXPECT_EQ(outcome.message,
              "Split PDF (per page) creates a folder of files \u2014 open it in Kelvane instead.");

    const auto odd = w.file("thing.xyz", std::string("\0\1\2\xff\xfe", 5));
    outcome = w.convert(odd, SupportedFormat::png);
    EXPECT_EQ(outcome.message, "Kelvane doesn't recognise thing.xyz.");

    const auto csv = w.file("t.csv", kCsv);
    outcome = w.convert(csv, SupportedFormat::mp4);
    EXPECT_EQ(outcome.message, "Can't convert CSV to MP4.");

    outcome = w.convert(csv, SupportedFormat::json);
    EXPECT_EQ(outcome.kind, Kind::needsAuthorization);
    EXPECT_EQ(outcome.location, w.dir.path());
    EXPECT_FALSE(fs::exists(w.dir / "t.json"));
    EXPECT_EQ(test::readFile(song), "not really audio");
    EXPECT_EQ(test::readFile(csv), kCsv);
}

TEST(InPlaceConversion, GrantedFolderGetsTheFileBesideTheSource) {
    Workspace w;
    w.access.grant(w.dir.path());
    const auto csv = w.file("sub/t\u00e9.csv", kCsv);
    std::atomic<int> reports{0};
    const auto outcome = w.convert(csv, SupportedFormat::json, false, [&](double) { ++reports; });
    ASSERT_EQ(outcome.kind, Kind::converted) << outcome.message;
    EXPECT_EQ(outcome.location, w.dir / "sub" / "t\u00e9.json");
    EXPECT_NE(test::readFile(outcome.location).find("\"alpha\""), std::string::npos);
    EXPECT_EQ(test::readFile(csv), kCsv);
    // Nothing else is left in the folder (no temporary names).
    EXPECT_EQ(std::distance(fs::directory_iterator(w.dir / "sub"), fs::directory_iterator()), 2);
}

TEST(InPlaceConversion, ExistingDestinationIsACollisionUnlessReplacing) {
    Workspace w;
    w.access.grant(w.dir.path());
    const auto csv = w.file("t.csv", kCsv);
    w.file("t.json", "old");
    auto outcome = w.convert(csv, SupportedFormat::json);
    EXPECT_EQ(outcome.kind, Kind::collision);
    EXPECT_EQ(outcome.location, w.dir / "t.json");
    EXPECT_EQ(test::readFile(w.dir / "t.json"), "old");

    // A dangling link at the destination is in the way too.
    fs::create_symlink(w.dir / "nowhere", w.dir / "t.tsv");
    EXPECT_EQ(w.convert(csv, SupportedFormat::tsv).kind, Kind::collision);
    EXPECT_TRUE(fs::is_symlink(w.dir / "t.tsv"));

    outcome = w.convert(csv, SupportedFormat::json, true);
    ASSERT_EQ(outcome.kind, Kind::converted) << outcome.message;
    EXPECT_NE(test::readFile(w.dir / "t.json").find("\"beta\""), std::string::npos);
    EXPECT_EQ(test::readFile(csv), kCsv);
}

// Sets TMPDIR to a private folder for the life of the object.
class PrivateTemp {
  public:
    explicit PrivateTemp(const fs::path& folder) : m_folder(folder) {
        fs::create_directories(folder);
        if (const char* old = std::getenv("TMPDIR"))
            m_old = old;
        ::setenv("TMPDIR", folder.c_str(), 1);
    }
    ~PrivateTemp() {
        if (m_old)
            ::setenv("TMPDIR", m_old->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }
    PrivateTemp(const PrivateTemp&) = delete;
    PrivateTemp& operator=(const PrivateTemp&) = delete;

  private:
    fs::path m_folder;
    std::optional<std::string> m_old;
};

TEST(InPlaceConversion, DestinationAppearingDuringTheConversionIsNeverReplaced) {
    Workspace w;
    w.access.grant(w.dir / "files");
    std::string big = "name,size\n";
    for (int i = 0; i < 400000; ++i)
        big += "row" + std::to_string(i) + "," + std::to_string(i) + "\n";
    const auto csv = w.file("files/t.csv", big);
    PrivateTemp temp(w.dir / "tmp");
    // As soon as the staging folder exists the conversion is under way: plant the destination.
    std::atomic<bool> planted{false};
    std::jthread planter([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            if (!fs::is_empty(w.dir / "tmp")) {
                test::writeFile(w.dir / "files" / "t.json", "someone else's");
                planted = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    const auto outcome = w.convert(csv, SupportedFormat::json);
    planter.request_stop();
    planter.join();
    ASSERT_TRUE(planted);
    EXPECT_EQ(outcome.kind, Kind::collision);
    EXPECT_EQ(outcome.location, w.dir / "files" / "t.json");
    EXPECT_EQ(test::readFile(w.dir / "files" / "t.json"), "someone else's");
    EXPECT_EQ(test::readFile(csv), big);
    EXPECT_TRUE(fs::is_empty(w.dir / "tmp")) << "the staging folder is removed";
    EXPECT_EQ(std::distance(fs::directory_iterator(w.dir / "files"), fs::directory_iterator()), 2);
}

// The staging folder on another file system than the destination: the result is copied beside
// the destination first, so placing it stays a single rename there.
TEST(InPlaceConversion, StagingOnAnotherFileSystemStillPlacesAtomically) {
    struct stat shm {
    }, tmp{};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(fs::temp_directory_path().c_str(), &tmp) != 0 ||
        shm.st_dev == tmp.st_dev)
        GTEST_SKIP() << "needs /dev/shm on its own file system";
    Workspace w;
    w.access.grant(w.dir.path());
    const auto csv = w.file("t.csv", kCsv);
    test::TempDir scratch; // before TMPDIR moves, so it is made and removed in the usual place
    const auto elsewhere = fs::path("/dev/shm") / ("kv-test-" + scratch.path().filename().string());
    {
        PrivateTemp temp(elsewhere);
        const auto outcome = w.convert(csv, SupportedFormat::json);
        ASSERT_EQ(outcome.kind, Kind::converted) << outcome.message;
        w.file("t.tsv", "taken");
        EXPECT_EQ(w.convert(csv, SupportedFormat::tsv).kind, Kind::collision);
        EXPECT_TRUE(fs::is_empty(elsewhere));
    }
    fs::remove_all(elsewhere);
    EXPECT_NE(test::readFile(w.dir / "t.json").find("alpha"), std::string::npos);
    EXPECT_EQ(test::readFile(w.dir / "t.tsv"), "taken");
    EXPECT_EQ(std::distance(fs::directory_iterator(w.dir.path()), fs::directory_iterator()), 4)
        << "no temporary copy is left beside the file";
}

TEST(InPlaceConversion, ImageConvertsToJpegBesideIt) {
    if (!test::haveTool("convert"))
        GTEST_SKIP() << "ImageMagick makes the fixture";
    Workspace w;
    w.access.grant(w.dir.path());
    ASSERT_EQ(test::runProgram({"convert", "-size", "16x16", "xc:red", (w.dir / "a.png").string()})
                  .exitCode,
              0);
    const auto before = test::readFile(w.dir / "a.png");
    const auto outcome = w.convert(w.dir / "a.png", SupportedFormat::jpeg);
    ASSERT_EQ(outcome.kind, Kind::converted) << outcome.message;
    EXPECT_EQ(outcome.location, w.dir / "a.jpg");
    EXPECT_EQ(test::readFile(w.dir / "a.jpg").substr(0, 3), "\xff\xd8\xff");
    EXPECT_EQ(test::readFile(w.dir / "a.png"), before);
}

TEST(ConvertFormatChoice, PdfResolvesBySourceAndEveryOtherChoiceIsFixed) {
    EXPECT_EQ(resolve(ConvertFormatChoice::pdf, SupportedFormat::png), SupportedFormat::pdf_image);
    EXPECT_EQ(resolve(ConvertFormatChoice::pdf, SupportedFormat::raw), SupportedFormat::pdf_image);
    EXPECT_EQ(resolve(ConvertFormatChoice::pdf, SupportedFormat::pdfPageJpeg),
              SupportedFormat::pdf_image);
    EXPECT_EQ(resolve(ConvertFormatChoice::pdf, SupportedFormat::markdown), SupportedFormat::pdf);
    EXPECT_EQ(resolve(ConvertFormatChoice::pdf, SupportedFormat::mp4), SupportedFormat::pdf);
    EXPECT_EQ(resolve(ConvertFormatChoice::m4a, SupportedFormat::png), SupportedFormat::m4a);
    EXPECT_EQ(displayLabel(ConvertFormatChoice::m4a), "M4A (audio)");
    EXPECT_EQ(displayLabel(ConvertFormatChoice::txt), "Plain Text");
    for (auto choice : allConvertFormatChoices)
        EXPECT_EQ(convertFormatChoiceFromRaw(rawValue(choice)), choice);
    EXPECT_EQ(convertFormatChoiceFromRaw("JPEG"), std::nullopt);
}

TEST(ConvertActions, InPlaceErrorsCarryTheUserTexts) {
    Workspace w;
    const auto csv = w.file("Reports/t.csv", kCsv);
    auto message = [&](const fs::path& file, ConvertFormatChoice choice, bool replace = false) {
        try {
            ConvertActions::convertFileInPlace(file, choice, replace, w.access);
        } catch (const AutomationError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message(csv, ConvertFormatChoice::html),
              "Kelvane needs permission to save into \u201cReports\u201d. Open Kelvane \u2192 "
              "Settings \u2192 "
              "Files \u2192 Allow a folder, then try again.");
    w.access.grant(w.dir / "Reports");
    w.file("Reports/t.html", "x");
    EXPECT_EQ(message(csv, ConvertFormatChoice::html),
              "\u201ct.html\u201d already exists. Turn on Replace existing file to overwrite it.");
    EXPECT_EQ(message(csv, ConvertFormatChoice::mp4), "Can't convert CSV to MP4.");
    EXPECT_EQ(message("relative.csv", ConvertFormatChoice::html),
              "That item has no file on disk to convert.");
    EXPECT_EQ(message(w.dir / "x.qqq", ConvertFormatChoice::html),
              "Kelvane doesn't recognise x.qqq.");
    EXPECT_EQ(ConvertActions::convertFileInPlace(csv, ConvertFormatChoice::html, true, w.access),
              w.dir / "Reports" / "t.html");
    EXPECT_EQ(test::readFile(csv), kCsv);
}

TEST(ConvertActions, ConvertFileHandsBackBytesAndName) {
    const std::string csv = kCsv;
    const auto result =
        ConvertActions::convertFile(std::vector<std::uint8_t>(csv.begin(), csv.end()),
                                    "../../escape.csv", ConvertFormatChoice::html);
    EXPECT_EQ(result.fileName, "escape.html");
    EXPECT_NE(std::string(result.bytes.begin(), result.bytes.end()).find("alpha"),
              std::string::npos);
    try {
        ConvertActions::convertFile({1, 2, 3}, "blob.qqq", ConvertFormatChoice::png);
        ADD_FAILURE() << "no error";
    } catch (const AutomationError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Kelvane can't read \u201cblob.qqq\u201d \u2014 it isn't a supported file type.");
    }
    try {
        ConvertActions::convertFile(std::vector<std::uint8_t>(csv.begin(), csv.end()), "t.csv",
                                    ConvertFormatChoice::mp4);
        ADD_FAILURE() << "no error";
    } catch (const AutomationError& e) {
        EXPECT_EQ(
            std::string(e.what()),
            "CSV can't be converted to MP4. Check All Conversions in the app for what's possible.");
    }
}

} // namespace
} // namespace kv
