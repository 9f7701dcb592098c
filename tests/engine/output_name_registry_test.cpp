#include "engine/output_name_registry.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <vector>

namespace kv {

TEST(OutputNameRegistry, CountsUpWithoutWritingAndWithoutExtensionDot) {
    test::TempDir dir;
    OutputNameRegistry registry;
    EXPECT_EQ(registry.reserve(dir.path(), "a", "txt"), dir / "a.txt");
    EXPECT_EQ(registry.reserve(dir.path(), "a", "txt"), dir / "a (1).txt");
    EXPECT_EQ(registry.reserve(dir.path(), "a", "txt"), dir / "a (2).txt");
    EXPECT_EQ(registry.reserve(dir.path(), "Report (pages)", ""), dir / "Report (pages)");
    EXPECT_FALSE(std::filesystem::exists(dir / "a.txt"));
}

TEST(OutputNameRegistry, SkipsExistingEntriesIncludingDanglingLinksAndFolders) {
    test::TempDir dir;
    std::filesystem::create_symlink(dir / "nowhere", dir / "a.txt");
    std::filesystem::create_directory(dir / "a (1).txt");
    test::writeFile(dir / "photo.png", "x");
    OutputNameRegistry registry;
    EXPECT_EQ(registry.reserve(dir.path(), "a", "txt"), dir / "a (2).txt");
    EXPECT_EQ(registry.reserve(dir.path(), "photo", "png"), dir / "photo (1).png");
}

TEST(OutputNameRegistry, CaseAndCompositionCountAsTheSameName) {
    test::TempDir dir;
    OutputNameRegistry registry;
    EXPECT_EQ(registry.reserve(dir.path(), "Caf\u00e9", "TXT"), dir / "Caf\u00e9.TXT");
    // "e" + combining acute, lower case: the same name after NFC and lower-casing.
    EXPECT_EQ(registry.reserve(dir.path(), "cafe\u0301", "txt"), dir / "cafe\u0301 (1).txt");
    EXPECT_EQ(normalisedPathKey("/X/Cafe\u0301"), normalisedPathKey("/x/caf\u00e9"));
}

TEST(OutputNameRegistry, ConcurrentReservationsAreAllDistinct) {
    test::TempDir dir;
    OutputNameRegistry registry;
    constexpr int kThreads = 8;
    constexpr int kEach = 200;
    std::vector<std::vector<std::filesystem::path>> results(kThreads);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kEach; ++i)
                    results[static_cast<std::size_t>(t)].push_back(
                        registry.reserve(dir.path(), "same", "png"));
            });
        }
    }
    std::set<std::filesystem::path> distinct;
    for (const auto& list : results)
        distinct.insert(list.begin(), list.end());
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads * kEach));
    EXPECT_TRUE(distinct.count(dir / "same (1599).png"));
}

TEST(OutputNames, BaseNameDropsOnlyTheLastExtension) {
    EXPECT_EQ(baseNameOf("/a/notes.txt.gz"), "notes.txt");
    EXPECT_EQ(baseNameOf("/a/data"), "data");
    EXPECT_EQ(baseNameOf("/a/.bashrc"), ".bashrc");
    EXPECT_EQ(baseNameOf("/a/-x y.png"), "-x y");
}

TEST(OutputNames, DefaultOutputDirectoryIsStableAndCreated) {
    test::TempDir home;
    const test::ScopedEnv homeVariable("HOME", home.path().string());
    const test::ScopedEnv configVariable("XDG_CONFIG_HOME", (home / "config").string());
    test::writeFile(home / "config" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n");
    const auto first = defaultOutputDirectory();
    EXPECT_EQ(first, home / "Docs" / "Kelvane");
    EXPECT_TRUE(std::filesystem::is_directory(first));
    EXPECT_EQ(defaultOutputDirectory(), first);
}

} // namespace kv
