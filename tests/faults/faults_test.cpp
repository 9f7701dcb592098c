// Whole kelvane processes under faults: killed at random points, interrupted, racing into one
// folder, given overlong names, a full disk or a read-only folder.
#include "support/background_process.h"
#include "support/test_support.h"
#include "validate/validator.h"

#include <chrono>
#include <gtest/gtest.h>
#include <iostream>
#include <random>
#include <set>
#include <signal.h>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

namespace kv {
namespace {

namespace fs = std::filesystem;
using test::BackgroundKelvane;
using test::TempDir;
using Clock = std::chrono::steady_clock;

std::vector<fs::path> entriesOf(const fs::path& folder) {
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries.push_back(it->path());
    return entries;
}

bool startsWith(const fs::path& entry, const std::string& prefix) {
    return entry.filename().string().rfind(prefix, 0) == 0;
}

// Entries a process left: pending outputs in `outputs`, staging folders and its journal in the
// temporary folders it could use.
std::size_t leftoversOf(pid_t pid, const std::vector<fs::path>& outputs, const fs::path& temp) {
    const std::string pending = ".kv-" + std::to_string(pid) + "-";
    const std::string staging = "Kelvane_" + std::to_string(pid) + "-";
    std::size_t count = 0;
    for (const auto& folder : outputs)
        for (const auto& entry : entriesOf(folder))
            count += startsWith(entry, pending);
    for (const auto& folder : {temp, fs::path("/dev/shm")})
        for (const auto& entry : entriesOf(folder))
            count += startsWith(entry, staging);
    return count;
}

void run(const std::vector<std::string>& argv) {
    const auto result = test::runProgram(argv);
    if (result.exitCode != 0)
        throw std::runtime_error(argv[0] + " failed: " + result.err);
}

// Fixtures for the media and archive jobs, made once with Debian's tools.
class Faults : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        for (const char* tool : {"ffmpeg", "zip"}) {
            if (!test::haveTool(tool)) {
                s_missing = tool;
                return;
            }
        }
        s_fixtures = new TempDir;
        const fs::path dir = s_fixtures->path();
        run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=1600x1600", "-frames:v",
             "1", (dir / "picture.png").string()});
        run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25", "-t",
             "2", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast",
             (dir / "clip.mp4").string()});
        std::mt19937 random(7);
        for (int i = 0; i < 60; ++i) {
            std::string text;
            for (int k = 0; k < 150'000; ++k)
                text += static_cast<char>('a' + random() % 26);
            test::writeFile(dir / "tree" / ("part " + std::to_string(i) + ".txt"), text);
        }
        run({"sh", "-c", "cd '" + dir.string() + "' && zip -qr tree.zip tree"});
    }
    static void TearDownTestSuite() {
        delete s_fixtures;
        s_fixtures = nullptr;
    }
    void SetUp() override {
        if (!s_missing.empty())
            GTEST_SKIP() << s_missing << " makes the fixtures";
    }
    static fs::path fixture(std::string_view name) { return s_fixtures->path() / name; }

    TempDir dir;
    static inline TempDir* s_fixtures = nullptr;
    static inline std::string s_missing;
};

struct Job {
    std::string source;
    std::string target;
    SupportedFormat format;
    double seconds = 0; // measured once, uninterrupted
};

} // namespace

// kill -9 at random points: no final-named output unless it validates; the next start of any
// kelvane process sweeps what the killed ones left.
TEST_F(Faults, KilledAtRandomPointsLeavesNoBadOutputAndTheNextStartSweeps) {
    std::vector<Job> jobs{
        {"picture.png", "tiff", SupportedFormat::tiff},
        {"picture.png", "jpeg", SupportedFormat::jpeg},
        {"picture.png", "webp", SupportedFormat::webp},
        {"tree.zip", "tar", SupportedFormat::tar},
        {"tree.zip", "gzip", SupportedFormat::gzip},
        {"clip.mp4", "mov", SupportedFormat::mov},
        {"clip.mp4", "gif", SupportedFormat::gif},
    };
    const fs::path temp = dir / "tmp";
    fs::create_directories(temp);
    const std::vector<std::string> environment{"TMPDIR=" + temp.string()};
    std::vector<fs::path> outputs;
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        outputs.push_back(dir / ("out" + std::to_string(j)));
        const auto start = Clock::now();
        BackgroundKelvane calibration(
            {"--convert", fixture(jobs[j].source).string(), jobs[j].target, outputs[j].string()},
            environment);
        ASSERT_EQ(calibration.wait(), 0) << calibration.standardError();
        jobs[j].seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }

    constexpr int kRuns = 50;
    std::mt19937 random(20261207);
    int kills = 0;
    std::size_t leftovers = 0;
    std::size_t published = 0;
    std::vector<pid_t> killed;
    for (int i = 0; i < kRuns; ++i) {
        const std::size_t j = static_cast<std::size_t>(i) % jobs.size();
        // Anywhere from start-up to just past the usual end.
        std::uniform_real_distribution<double> when(0.0, 1.1 * jobs[j].seconds);
        BackgroundKelvane child(
            {"--convert", fixture(jobs[j].source).string(), jobs[j].target, outputs[j].string()},
            environment);
        std::this_thread::sleep_for(std::chrono::duration<double>(when(random)));
        child.signal(SIGKILL);
        if (child.wait() == 128 + SIGKILL) {
            ++kills;
            killed.push_back(child.pid());
            leftovers += leftoversOf(child.pid(), outputs, temp);
        }
        for (const auto& entry : entriesOf(outputs[j])) {
            if (entry.filename().string().front() == '.')
                continue;
            const ValidationStatus status = Validator::validate(entry, jobs[j].format);
            EXPECT_FALSE(status.isFailed()) << entry << ": " << status.reason;
        }
    }
    for (const auto& folder : outputs)
        for (const auto& entry : entriesOf(folder))
            published += entry.filename().string().front() != '.';

    // Any start sweeps: here one that only prints its usage.
    BackgroundKelvane sweeper({"--convert"}, environment);
    EXPECT_EQ(sweeper.wait(), 2);
    std::size_t remaining = 0;
    for (const pid_t pid : killed)
        remaining += leftoversOf(pid, outputs, temp);
    EXPECT_EQ(remaining, 0u);
    EXPECT_TRUE(fs::is_empty(temp)) << entriesOf(temp).front();
    std::cout << "[ figures  ] " << kRuns << " runs, " << kills << " killed, " << leftovers
              << " leftovers found after the kills, " << remaining << " after the next start, "
              << published << " outputs published, all valid\n";
}

TEST_F(Faults, InterruptStopsTheConversionAndRemovesWhatItBuilt) {
    const fs::path temp = dir / "tmp";
    fs::create_directories(temp);
    for (const int signal : {SIGINT, SIGTERM}) {
        const fs::path out = dir / ("out" + std::to_string(signal));
        BackgroundKelvane child({"--convert", fixture("tree.zip").string(), "tar", out.string()},
                                {"TMPDIR=" + temp.string()});
        // Wait until it is building: its staging folder exists.
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (leftoversOf(child.pid(), {out}, temp) == 0 && child.running() &&
               Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(child.running()) << "finished before it could be interrupted";
        child.signal(signal);
        const int status = child.wait();
        EXPECT_TRUE(status == 128 + signal || status == 1) << status << child.standardError();
        EXPECT_EQ(leftoversOf(child.pid(), {out}, temp), 0u);
        EXPECT_TRUE(entriesOf(out).empty()) << entriesOf(out).front();
    }
}

TEST_F(Faults, ThirtyParallelConversionsIntoOneFolderAllSucceed) {
    test::writeFile(dir / "table.csv", "id,name\n1,Ana\n2,Bj\u00f6rn\n");
    std::vector<std::unique_ptr<BackgroundKelvane>> children;
    for (int i = 0; i < 30; ++i)
        children.push_back(std::make_unique<BackgroundKelvane>(std::vector<std::string>{
            "--convert", (dir / "table.csv").string(), "json", (dir / "out").string()}));
    std::set<std::string> printed;
    for (auto& child : children) {
        EXPECT_EQ(child->wait(), 0) << child->standardError();
        printed.insert(child->standardOutput());
    }
    EXPECT_EQ(printed.size(), 30u);
    const auto entries = entriesOf(dir / "out");
    EXPECT_EQ(entries.size(), 30u); // no pending file left either
    for (const auto& entry : entries) {
        EXPECT_EQ(test::readFile(entry), test::readFile(entries.front()));
        EXPECT_TRUE(printed.count(entry.string() + "\n")) << entry;
    }
}

TEST_F(Faults, SourceNameOf250BytesConvertsAndNamesStayWithinTheLimit) {
    std::string base;
    while (base.size() < 240)
        base += "R\u00e9sum\u00e9 ";
    base = base.substr(0, 240); // ends inside no character: "é" is two bytes at even offsets
    base += "abcdef";           // 246 bytes
    const fs::path source = dir / (base + ".csv");
    ASSERT_EQ(source.filename().string().size(), 250u);
    test::writeFile(source, "a,b\n1,2\n");
    for (int i = 0; i < 3; ++i) {
        const auto result =
            test::runKelvane({"--convert", source.string(), "json", (dir / "out").string()});
        ASSERT_EQ(result.exitCode, 0) << result.err;
    }
    const auto entries = entriesOf(dir / "out");
    EXPECT_EQ(entries.size(), 3u);
    for (const auto& entry : entries) {
        const std::string name = entry.filename().string();
        EXPECT_LE(name.size(), 255u);
        EXPECT_TRUE(name.ends_with(".json")) << name;
        EXPECT_EQ(test::readFile(entry), test::readFile(entries.front()));
    }
}

// A file system of its own for the output folder: needs the right to mount (root in CI).
class MountedFolder {
  public:
    MountedFolder(const fs::path& where, const std::string& options) : m_where(where) {
        fs::create_directories(where);
        m_mounted = ::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~MountedFolder() {
        if (m_mounted)
            ::umount2(m_where.c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

  private:
    fs::path m_where;
    bool m_mounted = false;
};

TEST_F(Faults, FullDiskAndReadOnlyFolderFailClearlyAndLeaveNothing) {
    std::string csv = "id,name,notes\n";
    for (int i = 0; i < 20000; ++i)
        csv += std::to_string(i) + ",name " + std::to_string(i) + ",some notes here\n";
    test::writeFile(dir / "big.csv", csv);
    const MountedFolder full(dir / "full", "size=64k");
    const MountedFolder readOnly(dir / "ro", "ro,size=1m");
    if (!full.mounted() || !readOnly.mounted())
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    const std::string picture = fixture("picture.png").string();
    const std::string pictureBytes = test::readFile(picture);

    struct Case {
        std::string source;
        std::string target;
        fs::path folder;
        std::string message;
    };
    const std::vector<Case> cases{
        {(dir / "big.csv").string(), "json", dir / "full",
         "Could not write the output file: No space left on device"},
        {fixture("tree.zip").string(), "tar", dir / "full",
         "Could not write the output file: No space left on device"},
        {picture, "bmp", dir / "full", "No space left on device"},
        {(dir / "big.csv").string(), "json", dir / "ro",
         "Could not write the output file: Read-only file system"},
        {fixture("tree.zip").string(), "tar", dir / "ro",
         "Could not write the output file: Read-only file system"},
        {picture, "tiff", dir / "ro", "Could not create the output file"},
    };
    for (const auto& c : cases) {
        const auto result = test::runKelvane({"--convert", c.source, c.target, c.folder.string()});
        EXPECT_EQ(result.exitCode, 1) << c.source << " → " << c.target;
        EXPECT_NE(result.err.find("convert failed: "), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.target << ": " << result.err;
        EXPECT_TRUE(entriesOf(c.folder).empty()) << entriesOf(c.folder).front();
    }
    EXPECT_EQ(test::readFile(dir / "big.csv"), csv);
    EXPECT_EQ(test::readFile(picture), pictureBytes);
}

} // namespace kv
