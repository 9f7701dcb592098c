// Splitting PDFs into one file per page, end to end, checked by qpdf and poppler's tools.
#include "support/pdf_fixtures.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

using test::runKelvane;
using test::runProgram;
using test::TempDir;

class SplitPDF : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::haveTool("qpdf") || !test::haveTool("pdftotext"))
            GTEST_SKIP() << "qpdf or poppler-utils is not installed";
        std::filesystem::create_directories(m_out);
    }
    test::RunResult split(const std::filesystem::path& source) {
        return runKelvane({"--convert", source.string(), "pdfSplit", m_out.string()});
    }
    TempDir m_dir;
    std::filesystem::path m_out = m_dir / "out";
};

TEST_F(SplitPDF, OneCheckedFilePerPageInOrder) {
    test::writeTextPDF(m_dir / "x.pdf", {"first words", "second words", "third words"});
    const auto result = split(m_dir / "x.pdf");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const auto folder = m_out / "x (pages)";
    EXPECT_EQ(result.out, folder.string() + "\n");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"page_001.pdf", "page_002.pdf", "page_003.pdf"}));
    const char* words[] = {"first words", "second words", "third words"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto page = (folder / names[i]).string();
        EXPECT_EQ(runProgram({"qpdf", "--check", page}).exitCode, 0) << page;
        EXPECT_NE(runProgram({"pdfinfo", page}).out.find("Pages:           1\n"),
                  std::string::npos);
        EXPECT_EQ(runProgram({"pdftotext", page, "-"}).out.find(words[i]), 0u) << page;
    }
    // A second split of the same file gets a fresh folder.
    ASSERT_EQ(split(m_dir / "x.pdf").exitCode, 0);
    EXPECT_TRUE(std::filesystem::exists(m_out / "x (pages) (1)" / "page_003.pdf"));
}

TEST_F(SplitPDF, ScannedPagesSplitButLockedAndBrokenFilesFail) {
    test::writeImageOnlyPDF(m_dir / "scan.pdf");
    const auto scanned = split(m_dir / "scan.pdf");
    EXPECT_EQ(scanned.exitCode, 0) << scanned.err;
    EXPECT_TRUE(std::filesystem::exists(m_out / "scan (pages)" / "page_001.pdf"));

    test::writeFile(m_dir / "broken.pdf", "%PDF-1.4\ngarbage without objects\n");
    EXPECT_NE(split(m_dir / "broken.pdf").exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(m_out / "broken (pages)"));

    test::writeTextPDF(m_dir / "plain.pdf", {"secret"});
    ASSERT_EQ(runProgram({"qpdf", "--encrypt", "user", "owner", "256", "--",
                          (m_dir / "plain.pdf").string(), (m_dir / "locked.pdf").string()})
                  .exitCode,
              0);
    const auto locked = split(m_dir / "locked.pdf");
    EXPECT_NE(locked.exitCode, 0);
    EXPECT_NE(locked.err.find("The PDF is protected by a password"), std::string::npos)
        << locked.err;
    EXPECT_FALSE(std::filesystem::exists(m_out / "locked (pages)"));
}

TEST_F(SplitPDF, OnlyTheSplitNeedsItsModule) {
    // A folder with the splitting module alone splits, every symbol bound at load (one the module
    // needs and nothing provides fails here); without it the split fails, naming the module, and
    // leaves no folder behind.
    const auto built = std::filesystem::path(KV_BINARY).parent_path();
    const auto splitOnly = m_dir / "split-only";
    const auto documentOnly = m_dir / "document-only";
    std::filesystem::create_directories(splitOnly);
    std::filesystem::create_directories(documentOnly);
    std::filesystem::create_symlink(built / "kelvane-pdfsplit.so",
                                    splitOnly / "kelvane-pdfsplit.so");
    std::filesystem::create_symlink(built / "kelvane-document.so",
                                    documentOnly / "kelvane-document.so");
    test::writeTextPDF(m_dir / "x.pdf", {"first words", "second words"});
    const auto splitWith = [&](const std::filesystem::path& modules) {
        return runProgram({"env", "KELVANE_MODULE_DIR=" + modules.string(), "LD_BIND_NOW=1",
                           KV_BINARY, "--convert", (m_dir / "x.pdf").string(), "pdfSplit",
                           m_out.string()});
    };
    const auto alone = splitWith(splitOnly);
    ASSERT_EQ(alone.exitCode, 0) << alone.err;
    EXPECT_TRUE(std::filesystem::exists(m_out / "x (pages)" / "page_002.pdf"));
    std::filesystem::remove_all(m_out / "x (pages)");

    const auto missing = splitWith(documentOnly);
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("PDF splitting support could not be loaded"), std::string::npos)
        << missing.err;
    EXPECT_NE(missing.err.find("kelvane-pdfsplit.so"), std::string::npos) << missing.err;
    EXPECT_FALSE(std::filesystem::exists(m_out / "x (pages)"));
}

TEST_F(SplitPDF, AModuleOfAnotherBuildIsRefused) {
    // Any module with another entry stands in for a splitting module of another build.
    const auto modules = m_dir / "modules";
    std::filesystem::create_directories(modules);
    std::filesystem::copy_file(std::filesystem::path(KV_BINARY).parent_path() / "kelvane-av.so",
                               modules / "kelvane-pdfsplit.so");
    test::writeTextPDF(m_dir / "x.pdf", {"words"});
    const auto run =
        runProgram({"env", "KELVANE_MODULE_DIR=" + modules.string(), KV_BINARY, "--convert",
                    (m_dir / "x.pdf").string(), "pdfSplit", m_out.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("does not match this program"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(m_out / "x (pages)"));
}

} // namespace
} // namespace kv
