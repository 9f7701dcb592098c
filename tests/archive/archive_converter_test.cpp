// The repack path: payload naming, limits, log lines and the staging folder's cleanup.
#include "archive/archive_converter.h"
#include "archive/gzip_codec.h"
#include "archive_fixtures.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "engine/staging_folder.h"
#include "support/test_support.h"

#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <set>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace kv::test {
namespace {

namespace fs = std::filesystem;
using F = SupportedFormat;
using namespace ArchiveConverter;

bool isTmpfs(const fs::path& folder) {
    struct statfs info {};
    return ::statfs(folder.c_str(), &info) == 0 && info.f_type == TMPFS_MAGIC;
}

// A private per-user runtime folder on /dev/shm for one test, so that small trees are staged in a
// folder no other test process uses (a shared /dev/shm listing races with parallel tests).
class ScopedRuntimeDir {
  public:
    ScopedRuntimeDir() {
        if (!isTmpfs("/dev/shm"))
            return;
        std::string pattern = "/dev/shm/kv-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            return;
        m_dir = pattern;
        if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
            m_old = old;
        ::setenv("XDG_RUNTIME_DIR", m_dir.c_str(), 1);
    }
    ~ScopedRuntimeDir() {
        if (m_dir.empty())
            return;
        if (m_old.empty()) {
            ::unsetenv("XDG_RUNTIME_DIR");
        } else {
            ::setenv("XDG_RUNTIME_DIR", m_old.c_str(), 1);
        }
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }
    bool empty() const { return m_dir.empty() || fs::is_empty(m_dir); }

  private:
    fs::path m_dir;
    std::string m_old;
};

void makeSparse(const fs::path& file, off_t size) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
}

TEST(ArchiveConverter, PlainPayloadBecomesOneFileNamedAfterTheSource) {
    TempDir dir;
    writeFile(dir / "notes.txt.gz", toString(compressGzip(asBytes("just notes"))));
    fs::create_directories(dir / "out");
    const fs::path output =
        convert(test::makeRequest(dir / "notes.txt.gz", F::gzip, F::zip, dir / "out"));
    EXPECT_EQ(output.filename(), "notes.txt.zip");
    fs::create_directories(dir / "check");
    extractArchive(output, F::zip, dir / "check");
    EXPECT_EQ(snapshot(dir / "check"),
              (std::map<std::string, std::string>{{"notes.txt", "just notes"}}));
    EXPECT_TRUE(logged("Archive: GZIP \u2192 ZIP"));
}

TEST(ArchiveConverter, NothingExtractedFailsAndLeavesNoStaging) {
    TempDir dir;
    const test::ScopedTmpdir tmp(dir / "tmp");
    const ScopedRuntimeDir runtime;
    writeFile(dir / "dirs.zip", makeRawZip({{"a/", ""}, {"__MACOSX/._x", "junk"}}));
    try {
        convert(test::makeRequest(dir / "dirs.zip", F::zip, F::tar, dir / "out"));
        ADD_FAILURE() << "no error";
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::emptyOutput);
    }
    EXPECT_TRUE(logged("Extraction produced no files"));
    EXPECT_TRUE(logged("1 empty folder(s) not carried over (a/)"));
    EXPECT_TRUE(tmp.empty());

    writeFile(dir / "bad.zip", "PK not really");
    EXPECT_THROW(convert(test::makeRequest(dir / "bad.zip", F::zip, F::tar, dir / "out")),
                 ConversionError);
    EXPECT_TRUE(tmp.empty());
    EXPECT_FALSE(fs::exists(dir / "out" / "bad.tar"));
    EXPECT_TRUE(runtime.empty());
}

TEST(ArchiveConverter, SmallTreesAreStagedInMemory) {
    TempDir dir;
    if (!isTmpfs("/dev/shm") || isTmpfs(dir.path()))
        GTEST_SKIP() << "needs a tmpfs at /dev/shm and a temporary folder on disk";
    const test::ScopedTmpdir tmp(dir / "tmp");
    const auto parent = StagingFolder::memoryBackedParent(1 << 20);
    ASSERT_TRUE(parent);
    EXPECT_TRUE(isTmpfs(*parent));
    // More than the machine's memory stays in the temporary folder.
    EXPECT_FALSE(StagingFolder::memoryBackedParent(1ull << 60));
    fs::path where;
    {
        const StagingFolder staging("Kelvane_", 1 << 20);
        where = staging.path();
        EXPECT_EQ(where.parent_path(), *parent);
        EXPECT_TRUE(where.filename().string().starts_with("Kelvane_"));
        struct stat info {};
        ASSERT_EQ(::stat(where.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        writeFile(where / "a" / "b.txt", "x");
    }
    EXPECT_FALSE(fs::exists(where));
    {
        const StagingFolder large("Kelvane_", 1ull << 60);
        EXPECT_EQ(large.path().parent_path(), dir / "tmp");
    }
    // A temporary folder that is already in memory is used as it is.
    const StagingFolder inMemory("kv-test-", 1);
    const test::ScopedTmpdir memoryTmp(inMemory.path());
    EXPECT_FALSE(StagingFolder::memoryBackedParent(1));
    const StagingFolder staging("Kelvane_", 1);
    EXPECT_EQ(staging.path().parent_path(), inMemory.path());
}

TEST(ArchiveConverter, SizeLimitsAreCheckedBeforeTheWork) {
    TempDir dir;
    makeSparse(dir / "huge.tar", (2ll << 30) + 1);
    try {
        convert(test::makeRequest(dir / "huge.tar", F::tar, F::zip, dir / "out"));
        ADD_FAILURE() << "no error";
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "File appears corrupt: Archive is too large to process (max 2 GB)");
    }
    EXPECT_TRUE(logged("Archive too large (2.15 GB)"));

    fs::create_directories(dir / "tree");
    makeSparse(dir / "tree" / "a", 1ll << 30);
    makeSparse(dir / "tree" / "b", (1ll << 30) + 1);
    try {
        createArchive(dir / "tree", F::tar, dir / "big.tar");
        ADD_FAILURE() << "no error";
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "File appears corrupt: Archive contents are too large to repackage "
                               "(max 2 GB uncompressed)");
    }
    EXPECT_TRUE(logged("Extracted contents too large (2.15 GB)"));
}

} // namespace
} // namespace kv::test
