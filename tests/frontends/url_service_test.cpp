#include "frontends/url_service/concurrency_limits.h"
#include "frontends/url_service/finder_conversion_service.h"
#include "frontends/url_service/service_url.h"
#include "process_env.h"

#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>

namespace kv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

TEST(ServiceUrl, DecodesUnicodePathsAndTakesTheFirstItem) {
    const auto url = ServiceUrl::parse(
        "KELVANE://Convert?src=/home/u/caf%C3%A9%20%E2%86%92%2B+x.png&fmt=jpeg&fmt=png");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme, "kelvane");
    EXPECT_EQ(url->host, "convert");
    EXPECT_EQ(url->item("src"), "/home/u/caf\u00e9 \u2192++x.png");
    EXPECT_EQ(url->item("fmt"), "jpeg");
    EXPECT_EQ(url->item("level"), std::nullopt);
}

TEST(ServiceUrl, BrokenEscapeIsNoUrlAndEncodingRoundTrips) {
    EXPECT_FALSE(ServiceUrl::parse("kelvane://convert?src=%E2%8&fmt=png"));
    EXPECT_FALSE(ServiceUrl::parse("kelvane://convert?src=%zz"));
    EXPECT_FALSE(ServiceUrl::parse("no scheme"));
    const std::string path = "/tmp/a&b=c?d #e%f \u00e9\u6f22.png";
    const auto url =
        ServiceUrl::parse("kelvane://convert?src=" + percentEncoded(path) + "&fmt=png");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->item("src"), path);
}

TEST(FinderConversionService, MalformedRequestsAreIgnoredAndCountNoJob) {
    FinderConversionService service;
    for (const char* url :
         {"kelvane://convert?src=/tmp/x.csv", "kelvane://convert?src=/tmp/x.csv&fmt=JSON",
          "kelvane://convert?fmt=json", "kelvane://convert?src=&fmt=json",
          "kelvane://compress?src=/tmp/x.png", "kelvane://compress?src=/tmp/x.png&level=extreme",
          "kelvane://explode?src=/tmp/x.csv&fmt=json", "https://convert?src=/tmp/x.csv&fmt=json",
          "kelvane://convert?src=%G0&fmt=json", "kelvane://convert?src=relative.csv&fmt=json"}) {
        service.handle(url);
        EXPECT_EQ(service.activeJobs(), 0) << url;
    }
}

TEST(FinderConversionService, ChooseOpensTheCompressionChooserAndCountsNoJob) {
    std::vector<fs::path> chosen;
    FinderConversionService service(
        {.idleQuit = 4s, .notify = {}, .openCompressPicker = [&](const fs::path& file) {
             chosen.push_back(file);
         }});
    service.handle("kelvane://compress?src=/tmp/caf%C3%A9.png&level=tiny&choose=1");
    service.handle("kelvane://compress?src=/tmp/b.png&choose=0");
    EXPECT_EQ(service.activeJobs(), 0);
    EXPECT_EQ(chosen, std::vector<fs::path>{"/tmp/caf\u00e9.png"});
}

TEST(FinderConversionService, CompressRequestRunsAndLogsItsOutcome) {
    test::TempDir dir;
    test::writeFile(dir / "notes.csv", "k,v\n"); // a document: nothing to compress
    std::vector<FinderConversionService::Result> results;
    {
        FinderConversionService service({.idleQuit = 4s,
                                         .notify = [&](const auto& group) { results = group; },
                                         .openCompressPicker = {}});
        service.handle("kelvane://compress?src=" + percentEncoded((dir / "notes.csv").string()) +
                       "&level=small");
    }
    ASSERT_EQ(results.size(), 1u);
    EXPECT_FALSE(results[0].succeeded);
    EXPECT_EQ(results[0].text,
              "notes.csv \u2014 Converting CSV \u2192 compressed is not supported.");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(FinderConversionService, CompressRequestWritesACompressedCopyBesideTheImage) {
    if (!test::haveTool("convert"))
        GTEST_SKIP() << "ImageMagick makes the fixture";
    test::TempDir dir;
    ASSERT_EQ(test::runProgram({"convert", "-size", "256x256", "plasma:", "-depth", "8",
                                (dir / "p.png").string()})
                  .exitCode,
              0);
    const auto before = test::readFile(dir / "p.png");
    std::vector<FinderConversionService::Result> results;
    {
        FinderConversionService service({.idleQuit = 4s,
                                         .notify = [&](const auto& group) { results = group; },
                                         .openCompressPicker = {}});
        service.handle("kelvane://compress?src=" + percentEncoded((dir / "p.png").string()) +
                       "&level=small");
    }
    ASSERT_EQ(results.size(), 1u);
    ASSERT_TRUE(results[0].succeeded) << results[0].text;
    EXPECT_TRUE(results[0].text.starts_with("p (compressed).")) << results[0].text;
    EXPECT_TRUE(fs::exists(dir / results[0].text));
    EXPECT_EQ(test::readFile(dir / "p.png"), before);
}

TEST(FinderConversionService, RequestsSentTogetherAreReportedAsOneGroup) {
    test::TempDir dir;
    std::string big = "k,v\n";
    for (int i = 0; i < 200000; ++i)
        big += std::to_string(i) + ",x\n";
    test::writeFile(dir / "big.csv", big);
    test::writeFile(dir / "small.csv", "k,v\n1,2\n");
    test::writeFile(dir / "odd.qqq", std::string("\0\1\2", 3));
    std::vector<std::vector<FinderConversionService::Result>> groups;
    std::mutex lock;
    {
        FinderConversionService service({.idleQuit = 4s,
                                         .notify =
                                             [&](const auto& results) {
                                                 std::lock_guard guard(lock);
                                                 groups.push_back(results);
                                             },
                                         .openCompressPicker = {}});
        for (const char* name : {"big.csv", "small.csv", "odd.qqq"})
            service.handle("kelvane://convert?src=" + percentEncoded((dir / name).string()) +
                           "&fmt=json");
    } // waits for the workers
    ASSERT_EQ(groups.size(), 1u);
    ASSERT_EQ(groups[0].size(), 3u);
    int succeeded = 0;
    for (const auto& r : groups[0])
        succeeded += r.succeeded ? 1 : 0;
    EXPECT_EQ(succeeded, 2);
    EXPECT_TRUE(fs::exists(dir / "big.json"));
    EXPECT_TRUE(fs::exists(dir / "small.json"));
    EXPECT_EQ(test::readFile(dir / "big.csv"), big);
}

TEST(ConcurrencyLimits, OneDocumentTwoVideosAndTheTotal) {
    const auto peak = [](int total, FileCategory category, int threads) {
        ConcurrencyLimits limits(total);
        std::atomic<int> running{0}, highest{0};
        std::vector<std::jthread> workers;
        for (int i = 0; i < threads; ++i) {
            workers.emplace_back([&] {
                ConcurrencyLimits::Slot slot(limits, category);
                const int now = ++running;
                int seen = highest.load();
                while (now > seen && !highest.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(30ms);
                --running;
            });
        }
        workers.clear();
        return highest.load();
    };
    EXPECT_EQ(peak(6, FileCategory::document, 4), 1);
    EXPECT_EQ(peak(6, FileCategory::archive, 4), 1);
    EXPECT_EQ(peak(6, FileCategory::video, 5), 2);
    EXPECT_EQ(peak(3, FileCategory::image, 6), 3);
    EXPECT_GE(ConcurrencyLimits::defaultTotal(), 2);
    EXPECT_LE(ConcurrencyLimits::defaultTotal(), 6);
}

// Waits until `file` exists; the moment it appeared.
Clock::time_point whenItAppears(const fs::path& file, std::chrono::seconds limit) {
    const auto until = Clock::now() + limit;
    while (!fs::exists(file) && Clock::now() < until)
        std::this_thread::sleep_for(5ms);
    return Clock::now();
}

TEST(UrlService, TwoRequestsOneSecondApartShareOneProcessThatQuitsFourSecondsAfterTheLast) {
    test::PrivateSession session;
    const auto files = session.home() / "Bilder \u00e9t\u00e9";
    test::writeFile(files / "caf\u00e9 1.csv", "k,v\n1,2\n");
    test::writeFile(files / "caf\u00e9 2.csv", "k,v\n3,4\n");
    const auto url = [&](const char* name, const char* fmt) {
        return "kelvane://convert?src=" + percentEncoded((files / name).string()) + "&fmt=" + fmt;
    };
    const auto first = test::spawnIn(session, {KV_BINARY, url("caf\u00e9 1.csv", "json")},
                                     session.root / "first.log");
    ASSERT_GT(first.pid, 0);
    whenItAppears(files / "caf\u00e9 1.json", 10s);
    std::this_thread::sleep_for(1s);
    const auto second = test::runIn(session, {KV_BINARY, url("caf\u00e9 2.csv", "tsv")});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.err.find("Starting"), std::string::npos)
        << "the second start only forwards: " << second.err;
    const auto secondDone = whenItAppears(files / "caf\u00e9 2.tsv", 10s);
    const auto [status, ended] = test::waitFor(first);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fs::exists(files / "caf\u00e9 2.tsv"));
    EXPECT_GE(seconds(ended - secondDone), 3.9);
    EXPECT_LE(seconds(ended - secondDone), 5.0);
    EXPECT_GE(seconds(ended - first.started), 4.9);
    const auto log = test::readFile(session.root / "first.log");
    EXPECT_NE(log.find("[OK] [Finder] Finder: caf\u00e9 2.tsv"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(session.runtime() / "kelvane" / "url.sock"))
        << "the socket goes with the process";
}

// The requests that ran together raise one notification; the bus monitor sees the call even
// though no notification server answers it (and the service carries on without one).
TEST(UrlService, RequestsThatRanTogetherRaiseOneNotification) {
    if (!test::haveTool("dbus-daemon") || !test::haveTool("dbus-monitor"))
        GTEST_SKIP() << "needs a private bus";
    test::PrivateSession session;
    test::PrivateBus bus(session);
    ASSERT_TRUE(bus.running());
    const auto monitor = test::spawnIn(
        session,
        {"dbus-monitor", "--address", bus.address(), "interface='org.freedesktop.Notifications'"},
        session.root / "monitor.log");
    std::this_thread::sleep_for(300ms);
    std::string big = "k,v\n";
    for (int i = 0; i < 300000; ++i)
        big += std::to_string(i) + ",x\n";
    test::writeFile(session.home() / "big.csv", big);
    test::writeFile(session.home() / "small.csv", "k,v\n1,2\n");
    const auto url = [&](const char* name) {
        return "kelvane://convert?src=" + percentEncoded((session.home() / name).string()) +
               "&fmt=json";
    };
    // One start with three URLs, as a desktop opener may pass them; the missing file fails.
    const auto r =
        test::runIn(session, {KV_BINARY, url("big.csv"), url("small.csv"), url("missing.csv")});
    EXPECT_EQ(r.exitCode, 0);
    std::this_thread::sleep_for(200ms);
    ::kill(monitor.pid, SIGTERM);
    test::waitFor(monitor);
    const auto log = test::readFile(session.root / "monitor.log");
    std::size_t calls = 0;
    for (auto at = log.find("member=Notify"); at != std::string::npos;
         at = log.find("member=Notify", at + 1))
        ++calls;
    EXPECT_EQ(calls, 1u) << log;
    EXPECT_NE(log.find("string \"2 files converted, 1 failed\""), std::string::npos) << log;
    EXPECT_NE(log.find("big.json"), std::string::npos);
    EXPECT_NE(log.find("missing.csv \u2014 "), std::string::npos);
}

TEST(UrlService, AnIgnoredUrlStillLetsTheProcessQuit) {
    test::PrivateSession session;
    test::writeFile(session.home() / "a.csv", "k,v\n");
    const auto child = test::spawnIn(
        session,
        {KV_BINARY, "kelvane://convert?src=" + (session.home() / "a.csv").string() + "&fmt=nope"},
        session.root / "log");
    const auto [status, ended] = test::waitFor(child);
    EXPECT_EQ(status, 0);
    EXPECT_GE(seconds(ended - child.started), 3.9);
    EXPECT_LE(seconds(ended - child.started), 6.0);
    EXPECT_EQ(std::distance(fs::directory_iterator(session.home()), fs::directory_iterator()), 1);
}

TEST(UrlService, FailuresGoToTheLogAndTheExitIsClean) {
    test::PrivateSession session;
    const auto r =
        test::runIn(session, {KV_BINARY, "kelvane://convert?src=/nonexistent/x.csv&fmt=json"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("[ERROR] [Finder] Finder: x.csv \u2014 "), std::string::npos) << r.err;
}

} // namespace
} // namespace kv
