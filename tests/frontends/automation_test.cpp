#include "frontends/automation/desktop_integration.h"
#include "frontends/cli/command_line.h"
#include "frontends/in_place/folder_access.h"
#include "frontends/url_service/service_url.h"
#include "platform/settings_store.h"
#include "process_env.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sstream>
#include <thread>

namespace kv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kCsv = "k,v\nalpha,1\n";

std::string byteArray(std::string_view bytes) {
    std::string text = "[";
    char hex[8];
    for (const char c : bytes) {
        std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned char>(c));
        text += std::string(text.size() > 1 ? ", " : "byte ") + hex;
    }
    return text + "]";
}

class AutomationBus : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::haveTool("dbus-daemon") || !test::haveTool("gdbus"))
            GTEST_SKIP() << "dbus-daemon and gdbus make the private bus";
        // The integration step installs the activation file the bus reads at start.
        ASSERT_EQ(test::runIn(session, {KV_BINARY, "--install-desktop-integration"}).exitCode, 0);
        bus.emplace(session);
        ASSERT_TRUE(bus->running());
        SettingsStore store(session.config() / "kelvane" / "settings.json");
        FolderAccess(store).grant(session.home() / "Granted");
        test::writeFile(session.home() / "Granted" / "t.csv", kCsv);
        test::writeFile(session.home() / "Other" / "t.csv", kCsv);
    }
    test::RunResult call(const std::string& method, const std::vector<std::string>& args) {
        std::vector<std::string> argv{"gdbus",
                                      "call",
                                      "--session",
                                      "--dest",
                                      "org.kelvane.Kelvane",
                                      "--object-path",
                                      "/org/kelvane/Automation",
                                      "--method",
                                      "org.kelvane.Kelvane.Automation." + method};
        argv.insert(argv.end(), args.begin(), args.end());
        return test::runIn(session, argv);
    }
    std::string error(const std::string& method, const std::vector<std::string>& args) {
        const auto r = call(method, args);
        EXPECT_NE(r.exitCode, 0) << r.out;
        return r.err;
    }

    test::PrivateSession session;
    std::optional<test::PrivateBus> bus;
};

TEST_F(AutomationBus, ConvertFileInPlaceIsActivatedOnDemandAndReportsEveryOutcome) {
    const auto granted = (session.home() / "Granted" / "t.csv").string();
    auto r = call("ConvertFileInPlace", {granted, "html", "false"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "('" + (session.home() / "Granted" / "t.html").string() + "',)\n");
    EXPECT_NE(test::readFile(session.home() / "Granted" / "t.html").find("alpha"),
              std::string::npos);

    EXPECT_NE(error("ConvertFileInPlace", {granted, "html", "false"})
                  .find("org.kelvane.Kelvane.Error.Collision: \u201ct.html\u201d already exists. "
                        "Turn on Replace "
                        "existing file to overwrite it."),
              std::string::npos);
    test::writeFile(session.home() / "Granted" / "t.html", "old");
    r = call("ConvertFileInPlace", {granted, "html", "true"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(test::readFile(session.home() / "Granted" / "t.html").find("alpha"),
              std::string::npos);

    EXPECT_NE(
        error("ConvertFileInPlace",
              {(session.home() / "Other" / "t.csv").string(), "html", "false"})
            .find("Kelvane needs permission to save into \u201cOther\u201d. Open Kelvane \u2192 "
                  "Settings \u2192 "
                  "Files \u2192 Allow a folder, then try again."),
        std::string::npos);
    EXPECT_FALSE(fs::exists(session.home() / "Other" / "t.html"));
    EXPECT_NE(error("ConvertFileInPlace", {granted, "mp4", "false"})
                  .find("Error.Failed: Can't convert CSV to MP4."),
              std::string::npos);
    EXPECT_NE(error("ConvertFileInPlace", {"t.csv", "html", "false"})
                  .find("Error.NoFileURL: That item has no file on disk to convert."),
              std::string::npos);
    EXPECT_NE(error("ConvertFileInPlace", {granted, "JPEG", "false"}).find("InvalidArgs"),
              std::string::npos);
    EXPECT_EQ(test::readFile(granted), kCsv);
}

TEST_F(AutomationBus, ConvertFileTakesAndReturnsBytes) {
    auto r = call("ConvertFile", {byteArray(kCsv), "../t.csv", "html"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(byteArray("<td>alpha</td>").substr(6, 40)), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with(", 't.html')\n")) << r.out;

    EXPECT_NE(error("ConvertFile", {byteArray(std::string("\0\1\2", 3)), "blob.qqq", "png"})
                  .find("Error.UnsupportedInput: Kelvane can't read \u201cblob.qqq\u201d \u2014 it "
                        "isn't a supported "
                        "file type."),
              std::string::npos);
    EXPECT_NE(error("ConvertFile", {byteArray(kCsv), "t.csv", "gif"})
                  .find("Error.UnsupportedConversion: CSV can't be converted to GIF. Check All "
                        "Conversions in the "
                        "app for what's possible."),
              std::string::npos);
}

TEST(AutomationService, RunsUntilIdleAndRefusesASecondOwner) {
    if (!test::haveTool("dbus-daemon"))
        GTEST_SKIP() << "dbus-daemon makes the private bus";
    test::PrivateSession session;
    auto r = test::runIn(session, {KV_BINARY, "--dbus-service"});
    EXPECT_EQ(r.exitCode, 1) << "no session bus";
    test::PrivateBus bus(session);
    ASSERT_TRUE(bus.running());
    const auto first =
        test::spawnIn(session, {KV_BINARY, "--dbus-service"}, session.root / "first.log");
    std::this_thread::sleep_for(1s);
    r = test::runIn(session, {KV_BINARY, "--dbus-service"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the name org.kelvane.Kelvane is taken"), std::string::npos) << r.err;
    const auto [status, ended] = test::waitFor(first);
    EXPECT_EQ(status, 0);
    const double lifetime = std::chrono::duration<double>(ended - first.started).count();
    EXPECT_GE(lifetime, 3.9);
    EXPECT_LE(lifetime, 6.0);
}

TEST(DesktopIntegration, InstallKeepsTheUsersEntriesAndUninstallRemovesOnlyOurs) {
    test::TempDir dir;
    const DesktopIntegration::Locations where{dir / "data", dir / "config",
                                              "/opt/kel vane/kelvane"};
    test::writeFile(
        dir / "config" / "mimeapps.list",
        "[Default Applications]\ntext/plain=gedit.desktop\nx-scheme-handler/kelvane=old.desktop\n");
    test::writeFile(
        dir / "config" / "Thunar" / "uca.xml",
        "<?xml "
        "version=\"1.0\"?>\n<actions>\n<action>\n\t<name>Mine</name>\n\t<unique-id>1-2</unique-id>"
        "\n</action>\n</actions>\n");
    DesktopIntegration::install(where);
    DesktopIntegration::install(where); // a second install replaces, never duplicates

    const auto mimeapps = test::readFile(dir / "config" / "mimeapps.list");
    EXPECT_EQ(mimeapps, "[Default Applications]\ntext/plain=gedit.desktop\n"
                        "x-scheme-handler/kelvane=kelvane-url-handler.desktop\n");
    const auto handler =
        test::readFile(dir / "data" / "applications" / "kelvane-url-handler.desktop");
    EXPECT_NE(handler.find("\nMimeType=x-scheme-handler/kelvane;\n"), std::string::npos);
    EXPECT_NE(handler.find("\nExec=\"/opt/kel vane/kelvane\" %u\n"), std::string::npos);
    EXPECT_EQ(test::readFile(dir / "data" / "dbus-1" / "services" / "org.kelvane.Kelvane.service"),
              "[D-BUS Service]\nName=org.kelvane.Kelvane\nExec=\"/opt/kel vane/kelvane\" "
              "--dbus-service\n");
    const auto uca = test::readFile(dir / "config" / "Thunar" / "uca.xml");
    EXPECT_NE(uca.find("<unique-id>1-2</unique-id>"), std::string::npos);
    std::size_t ours = 0;
    for (auto at = uca.find("<unique-id>kelvane-"); at != std::string::npos;
         at = uca.find("<unique-id>kelvane-", at + 1))
        ++ours;
    EXPECT_EQ(ours, 5u);
    const auto nemo =
        test::readFile(dir / "data" / "nemo" / "actions" / "kelvane-convert-jpeg.nemo_action");
    EXPECT_NE(nemo.find("Mimetypes=image/*;"), std::string::npos);
    EXPECT_NE(nemo.find(" convert fmt=jpeg %F\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(dir / "data" / "kio" / "servicemenus" / "kelvane-convert-jpeg.desktop"));
    EXPECT_TRUE(fs::exists(dir / "data" / "nautilus" / "scripts" / "Kelvane" / "Convert to JPEG"));

    DesktopIntegration::uninstall(where);
    EXPECT_EQ(test::readFile(dir / "config" / "mimeapps.list"),
              "[Default Applications]\ntext/plain=gedit.desktop\n");
    EXPECT_EQ(test::readFile(dir / "config" / "Thunar" / "uca.xml").find("kelvane"),
              std::string::npos);
    EXPECT_NE(test::readFile(dir / "config" / "Thunar" / "uca.xml").find("<name>Mine</name>"),
              std::string::npos);
    EXPECT_FALSE(
        fs::exists(dir / "data" / "nemo" / "actions" / "kelvane-convert-jpeg.nemo_action"));
    EXPECT_FALSE(fs::exists(dir / "data" / "nautilus" / "scripts" / "Kelvane"));
    EXPECT_FALSE(fs::exists(dir / "data" / "dbus-1" / "services" / "org.kelvane.Kelvane.service"));
}

// The whole road a file-manager user takes: the action's helper opens a kelvane: URL per selected
// file, and the desktop's URL opener finds the installed handler.
TEST(DesktopIntegration, FileManagerActionAndUrlOpenerConvertBesideTheFile) {
    test::PrivateSession session;
    ASSERT_EQ(test::runIn(session, {KV_BINARY, "--install-desktop-integration"}).exitCode, 0);
    const auto folder = session.home() / "Caf\u00e9 & co";
    test::writeFile(folder / "one 'a'.csv", kCsv);
    test::writeFile(folder / "two.csv", kCsv);
    const auto script = session.data() / "nautilus" / "scripts" / "Kelvane" / "Convert to JPEG";
    ASSERT_TRUE(fs::exists(script));
    // Nautilus passes names relative to the folder it runs the script in.
    const auto helper = session.data() / "kelvane" / "kelvane-open-url";
    auto r = test::runIn(
        session, {"sh", "-c", "cd \"$1\" && exec \"$2\" convert fmt=json \"one 'a'.csv\" two.csv",
                  "sh", folder.string(), helper.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    for (int i = 0;
         i < 400 && !(fs::exists(folder / "one 'a'.json") && fs::exists(folder / "two.json")); ++i)
        std::this_thread::sleep_for(25ms);
    EXPECT_TRUE(fs::exists(folder / "one 'a'.json"));
    EXPECT_TRUE(fs::exists(folder / "two.json"));

    if (test::haveTool("gio")) {
        test::writeFile(folder / "three.csv", kCsv);
        r = test::runIn(
            session, {"gio", "open",
                      "kelvane://convert?src=" + percentEncoded((folder / "three.csv").string()) +
                          "&fmt=tsv"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        for (int i = 0; i < 400 && !fs::exists(folder / "three.tsv"); ++i)
            std::this_thread::sleep_for(25ms);
        EXPECT_TRUE(fs::exists(folder / "three.tsv"));
    }
    // The background service leaves once idle; wait so nothing outlives the test.
    for (int i = 0; i < 400 && fs::exists(session.runtime() / "kelvane" / "url.sock"); ++i)
        std::this_thread::sleep_for(25ms);
    EXPECT_FALSE(fs::exists(session.runtime() / "kelvane" / "url.sock"));
}

TEST(ModeSelection, ServiceModesAndUrls) {
    using CommandLine::Mode;
    EXPECT_EQ(CommandLine::selectMode({"kelvane://convert?src=/a&fmt=png"}), Mode::urlService);
    EXPECT_EQ(CommandLine::selectMode({"KELVANE://compress?src=/a&level=tiny"}), Mode::urlService);
    EXPECT_EQ(CommandLine::selectMode({"--dbus-service"}), Mode::dbusService);
    EXPECT_EQ(CommandLine::selectMode({"--install-desktop-integration"}),
              Mode::installDesktopIntegration);
    EXPECT_EQ(CommandLine::selectMode({"--uninstall-desktop-integration"}),
              Mode::uninstallDesktopIntegration);
    EXPECT_EQ(CommandLine::selectMode({"--convert", "kelvane://x", "png", "out"}), Mode::convert);
    EXPECT_EQ(CommandLine::selectMode({"/home/u/kelvane.png"}), Mode::desktop);
}

} // namespace
} // namespace kv
