// The font configuration pages are set with: the system's, resolved exactly as fontconfig's own
// start-up resolves it, and read without the rule templates nothing matches through.
#include "platform/pdf/font_config.h"
#include "support/test_support.h"

#include <fontconfig/fontconfig.h>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

namespace kv {
namespace {

using test::runProgram;
using test::TempDir;
using test::writeFile;

struct ConfigDeleter {
    void operator()(FcConfig* config) const { FcConfigDestroy(config); }
};
using Config = std::unique_ptr<FcConfig, ConfigDeleter>;

// Each request's fallback list, every font as it would be drawn (file, face, hinting, size…),
// one line per font.
std::vector<std::string> resolved(FcConfig* config, const std::vector<const char*>& families) {
    std::vector<std::string> lines;
    for (const char* family : families) {
        for (const char* lang : {"en", "ja", "zh-cn", "ko", "ar", "he", "ru", "el"}) {
            for (const int weight : {FC_WEIGHT_REGULAR, FC_WEIGHT_BOLD}) {
                FcPattern* pattern = FcPatternCreate();
                FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family));
                FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8*>(lang));
                FcPatternAddInteger(pattern, FC_WEIGHT, weight);
                FcPatternAddDouble(pattern, FC_PIXEL_SIZE, 16);
                FcConfigSubstitute(config, pattern, FcMatchPattern);
                FcDefaultSubstitute(pattern);
                FcResult result = FcResultNoMatch;
                FcFontSet* set = FcFontSort(config, pattern, FcTrue, nullptr, &result);
                for (int i = 0; set != nullptr && i < set->nfont; ++i) {
                    FcPattern* font = FcFontRenderPrepare(config, pattern, set->fonts[i]);
                    FcChar8* text = FcNameUnparse(font);
                    lines.push_back(std::string(family) + " " + lang + " " +
                                    std::to_string(weight) + ": " +
                                    reinterpret_cast<const char*>(text));
                    FcStrFree(text);
                    FcPatternDestroy(font);
                }
                if (set != nullptr)
                    FcFontSetDestroy(set);
                FcPatternDestroy(pattern);
            }
        }
    }
    return lines;
}

void expectSameResolution(FcConfig* ours, FcConfig* theirs,
                          const std::vector<const char*>& families) {
    const auto expected = resolved(theirs, families);
    const auto got = resolved(ours, families);
    ASSERT_FALSE(expected.empty()) << "no font resolves";
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], expected[i]) << "line " << i;
}

TEST(FontConfig, ResolvesEveryRequestAsFontconfigsOwnStartUp) {
    const Config ours(platform::loadSystemFontConfig());
    ASSERT_NE(ours, nullptr);
    const Config theirs(FcInitLoadConfigAndFonts());
    ASSERT_NE(theirs, nullptr);
    // Generic families, metric aliases, an unknown family: aliases and fallback for every script.
    expectSameResolution(ours.get(), theirs.get(),
                         {"serif", "sans-serif", "monospace", "Arial", "Times New Roman",
                          "Courier New", "Helvetica", "emoji", "no such family"});
}

TEST(FontConfig, ReadsTheConfigurationTheEnvironmentNames) {
    // FONTCONFIG_FILE replaces the system's file: one font folder, serif preferring a mono face.
    TempDir dir;
    const auto fonts = std::filesystem::path("/usr/share/fonts/truetype/dejavu");
    if (!std::filesystem::exists(fonts / "DejaVuSansMono.ttf"))
        GTEST_SKIP() << "fonts-dejavu-core is not installed";
    const std::string body = "<dir>" + fonts.string() + "</dir><alias><family>serif</family>" +
                             "<prefer><family>DejaVu Sans Mono</family></prefer></alias>";
    writeFile(dir / "own.conf", "<?xml version=\"1.0\"?><fontconfig>" + body + "<cachedir>" +
                                    (dir / "cache").string() + "</cachedir></fontconfig>");
    test::ScopedEnv file("FONTCONFIG_FILE", (dir / "own.conf").string());
    const Config ours(platform::loadSystemFontConfig());
    ASSERT_NE(ours, nullptr);
    const Config theirs(FcInitLoadConfigAndFonts());
    const auto serif = resolved(ours.get(), {"serif"});
    ASSERT_FALSE(serif.empty());
    EXPECT_NE(serif.front().find("DejaVuSansMono.ttf"), std::string::npos) << serif.front();
    expectSameResolution(ours.get(), theirs.get(), {"serif", "sans-serif", "Arial"});

    // Without a cache folder fontconfig's start-up adds its own (and warns): left to it.
    writeFile(dir / "uncached.conf",
              "<?xml version=\"1.0\"?><fontconfig>" + body + "</fontconfig>");
    test::ScopedEnv uncached("FONTCONFIG_FILE", (dir / "uncached.conf").string());
    EXPECT_EQ(platform::loadSystemFontConfig(), nullptr);
}

// The configuration files a conversion opens, from strace's record.
std::set<std::string> configFilesOpened(const std::vector<std::string>& env,
                                        const std::filesystem::path& source,
                                        const std::filesystem::path& out, const TempDir& dir) {
    std::vector<std::string> argv{"env"};
    argv.insert(argv.end(), env.begin(), env.end());
    const std::vector<std::string> traced{"strace",       "-f",        "-e",
                                          "trace=openat", "-o",        (dir / "trace").string(),
                                          KV_BINARY,      "--convert", source.string(),
                                          "pdf",          out.string()};
    argv.insert(argv.end(), traced.begin(), traced.end());
    const auto run = runProgram(argv);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::ifstream trace(dir / "trace");
    std::set<std::string> files;
    std::string line;
    while (std::getline(trace, line)) {
        const auto start = line.find('"');
        const auto end = line.find('"', start + 1);
        if (start == std::string::npos || end == std::string::npos ||
            line.find("ENOENT") != std::string::npos)
            continue;
        const std::string file = line.substr(start + 1, end - start - 1);
        if (file.ends_with(".conf"))
            files.insert(file);
    }
    return files;
}

TEST(FontConfig, APageReadsOnlyTheRulesInUseAndPrintsAsWithTheFullStartUp) {
    if (!test::haveTool("strace") ||
        runProgram({"strace", "-o", "/dev/null", "true"}).exitCode != 0)
        GTEST_SKIP() << "strace is not installed or cannot trace here";
    const std::filesystem::path rules("/etc/fonts/conf.d");
    if (!std::filesystem::is_directory(rules))
        GTEST_SKIP() << "no " << rules;
    std::set<std::string> inUse; // conf.d's links, resolved as fontconfig opens them
    for (const auto& entry : std::filesystem::directory_iterator(rules))
        inUse.insert(std::filesystem::weakly_canonical(entry.path()).string());

    TempDir dir;
    writeFile(dir / "page.html",
              "<h1>Caf\u00e9 \u65e5\u672c\u8a9e \ud55c\uad6d\uc5b4</h1><p style=\"font-family: "
              "Arial\">\u0645\u0631\u062d\u0628\u0627 \u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba"
              "\u03ac \U0001F680</p><pre>code</pre><p><b>bold</b> <i>italic</i></p>");
    const auto quick = configFilesOpened({}, dir / "page.html", dir / "quick", dir);
    EXPECT_TRUE(quick.count("/etc/fonts/fonts.conf")) << "the configuration was not read";
    for (const auto& file : quick) {
        if (file.find("/conf.avail/") != std::string::npos) {
            EXPECT_TRUE(inUse.count(file)) << file << " is a template no rule links";
        }
    }

    // FC_DEBUG leaves the start-up to fontconfig, templates and all; the page is the same.
    const auto full = configFilesOpened({"FC_DEBUG=0"}, dir / "page.html", dir / "full", dir);
    EXPECT_GT(full.size(), quick.size());
    const auto withoutDate = [](const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        std::string text = bytes.str();
        const auto at = text.find("/CreationDate (");
        if (at != std::string::npos)
            text.erase(at, text.find(')', at) - at);
        return text;
    };
    const auto page = withoutDate(dir / "quick" / "page.pdf");
    EXPECT_GT(page.size(), 1000u);
    EXPECT_TRUE(page == withoutDate(dir / "full" / "page.pdf")) << "the pages differ";
}

} // namespace
} // namespace kv
