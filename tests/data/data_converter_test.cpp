// End to end through the kelvane binary, with Python's csv/json and FFmpeg as independent readers.
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

using test::readFile;
using test::runKelvane;
using test::runProgram;
using test::TempDir;
using test::writeFile;

const std::string kSeedCSV = "id,name,notes,price,in_stock\n"
                             "1,\"Widget, large\",Caf\u00e9 grade,9.99,true\n"
                             "2,Gadget,\"Say \"\"hi\"\"\",24.50,false\n"
                             "3,Gizmo,\"two\nlines\",5,TRUE\n"
                             "4,Thing,,0,false\n";

const std::string kSeedSRT =
    "1\n00:00:01,000 --> 00:00:04,500\nFiles are converted on this machine.\n\n"
    "2\n00:00:04,600 --> 00:00:08,250\nNothing is uploaded.\n\n"
    "3\n01:00:00,000 --> 01:00:03,750\nAn hour in, still local.\n";

// Converts and returns the output path printed on stdout.
std::filesystem::path convert(const std::filesystem::path& source, std::string_view target,
                              const std::filesystem::path& outDir) {
    const auto result =
        runKelvane({"--convert", source.string(), std::string(target), outDir.string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::string path = result.out;
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r'))
        path.pop_back();
    return path;
}

// Python's csv module reads a delimited file; prints one JSON list of rows.
std::string pythonRows(const std::filesystem::path& file, char delimiter) {
    const std::string script =
        "import csv,json,sys\n"
        "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
        "    print(json.dumps(list(csv.reader(f, delimiter=sys.argv[2])), ensure_ascii=False))\n";
    const auto result =
        runProgram({"python3", "-c", script, file.string(), std::string(1, delimiter)});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out;
}

std::string pythonJSON(const std::filesystem::path& file, std::string_view expression) {
    const std::string script =
        "import json,sys\nd=json.load(open(sys.argv[1], encoding='utf-8'))\nprint(json.dumps(" +
        std::string(expression) + ", ensure_ascii=False))\n";
    const auto result = runProgram({"python3", "-c", script, file.string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out;
}

TEST(DataConverter, SeedTableSurvivesCSVJSONCSVTSVJSON) {
    TempDir dir;
    writeFile(dir / "seed.csv", kSeedCSV);
    const auto json1 = convert(dir / "seed.csv", "json", dir / "a");
    const std::string text = readFile(json1);
    EXPECT_NE(text.find("\"price\": 9.99,"), std::string::npos);
    EXPECT_NE(text.find("\"price\": 24.50,"), std::string::npos); // verbatim, not 24.5
    EXPECT_NE(text.find("\"in_stock\": true\n"), std::string::npos);
    EXPECT_NE(text.find("\"notes\": null,"), std::string::npos);
    EXPECT_NE(text.find("\"price\": 0,"), std::string::npos);
    EXPECT_EQ(pythonJSON(json1, "[[type(v).__name__ for v in r.values()] for r in d]"),
              "[[\"int\", \"str\", \"str\", \"float\", \"bool\"], [\"int\", \"str\", \"str\", "
              "\"float\", \"bool\"], "
              "[\"int\", \"str\", \"str\", \"int\", \"bool\"], [\"int\", \"str\", \"NoneType\", "
              "\"int\", \"bool\"]]\n");

    const auto csv = convert(json1, "csv", dir / "b");
    const auto tsv = convert(csv, "tsv", dir / "c");
    const auto json2 = convert(tsv, "json", dir / "d");
    const std::string expectedRows =
        "[[\"id\", \"name\", \"notes\", \"price\", \"in_stock\"], [\"1\", \"Widget, large\", "
        "\"Café grade\", \"9.99\", \"true\"], "
        "[\"2\", \"Gadget\", \"Say \\\"hi\\\"\", \"24.5\", \"false\"], [\"3\", \"Gizmo\", "
        "\"two\\nlines\", \"5\", \"true\"], "
        "[\"4\", \"Thing\", \"\", \"0\", \"false\"]]\n";
    EXPECT_EQ(pythonRows(csv, ','), expectedRows);
    EXPECT_EQ(pythonRows(tsv, '\t'), expectedRows);
    EXPECT_EQ(pythonJSON(json2, "d"), pythonJSON(json1, "d"));
}

TEST(DataConverter, EveryTextTablePairConverts) {
    TempDir dir;
    writeFile(dir / "t.csv", kSeedCSV);
    writeFile(dir / "t.tsv", "a\tb\n1\tx y\n");
    writeFile(dir / "t.json", "{\"k\":1}\n{\"k\":2,\"j\":\"v\"}\n");
    for (std::string_view source : {"t.csv", "t.tsv", "t.json"}) {
        for (std::string_view target : {"csv", "tsv", "json", "html", "markdown"}) {
            const auto out = convert(dir / source, target, dir / "out");
            EXPECT_EQ(out.extension().string(),
                      target == "markdown" ? ".md" : "." + std::string(target));
            EXPECT_GE(std::filesystem::file_size(out), 10u) << source << " -> " << target;
        }
        // PDF needs the media module; the document suite covers it (TablesBecomePagesOfTheirCells).
    }
    EXPECT_NE(readFile(dir / "out" / "t (1).md").find("| a | b |\n| --- | --- |\n| 1 | x y |\n"),
              std::string::npos);
}

TEST(DataConverter, DecodesLegacyEncodingsAndWritesUTF8) {
    TempDir dir;
    // UTF-16LE with a byte-order mark, and Windows-1252 of even length (not to be taken as UTF-16).
    std::string utf16{"\xFF\xFE"};
    for (char c : std::string("name,city\nJos\xE9,K\xF6ln\n"))
        utf16 += {c, '\0'};
    writeFile(dir / "wide.csv", utf16);
    writeFile(dir / "legacy.tsv", "name\tprice\nCaf\xE9\t\x80 5\n");
    EXPECT_EQ(readFile(convert(dir / "wide.csv", "csv", dir / "o")),
              "name,city\nJos\u00e9,K\u00f6ln\n");
    EXPECT_EQ(readFile(convert(dir / "legacy.tsv", "tsv", dir / "o")),
              "name\tprice\nCaf\u00e9\t\u20ac 5\n");
    const std::string page = readFile(convert(dir / "legacy.tsv", "html", dir / "o"));
    EXPECT_NE(page.find("<title>legacy</title>"), std::string::npos);
    EXPECT_NE(page.find("<tr><td>Caf\u00e9</td><td>\u20ac 5</td></tr>"), std::string::npos);
}

TEST(DataConverter, ReportsWhatItCannotRead) {
    TempDir dir;
    writeFile(dir / "blank.csv", "\n\r\n");
    const auto blank =
        runKelvane({"--convert", (dir / "blank.csv").string(), "json", (dir / "o").string()});
    EXPECT_NE(blank.exitCode, 0);
    EXPECT_NE(blank.err.find("File appears corrupt: No rows found in blank.csv"), std::string::npos)
        << blank.err;

    writeFile(dir / "bad.json", "{nope\n");
    const auto bad =
        runKelvane({"--convert", (dir / "bad.json").string(), "csv", (dir / "o").string()});
    EXPECT_NE(bad.err.find("File appears corrupt: Not valid JSON: expected a member name in quotes "
                           "at line 1, column 2"),
              std::string::npos)
        << bad.err;

    writeFile(dir / "some.json", "{\"a\":1}\n{oops\n{\"a\":2}\n[\n");
    const auto some =
        runKelvane({"--convert", (dir / "some.json").string(), "csv", (dir / "o").string()});
    EXPECT_EQ(some.exitCode, 0);
    EXPECT_NE(some.err.find("Skipped 2 NDJSON lines that are not valid JSON (first: line 2)"),
              std::string::npos)
        << some.err;
    EXPECT_EQ(readFile(dir / "o" / "some.csv"), "a\n1\n2\n");

    writeFile(dir / "none.srt", "just text\n\nno timings here\n");
    const auto none =
        runKelvane({"--convert", (dir / "none.srt").string(), "vtt", (dir / "o").string()});
    EXPECT_NE(none.err.find("File appears corrupt: No subtitle cues found in none.srt"),
              std::string::npos)
        << none.err;
}

TEST(DataConverter, SubtitlesConvertAndFFmpegReadsThem) {
    TempDir dir;
    writeFile(dir / "seed.srt", kSeedSRT);
    const auto vtt = convert(dir / "seed.srt", "vtt", dir / "a");
    const auto srt = convert(vtt, "srt", dir / "b");
    const auto txt = convert(srt, "txt", dir / "c");
    EXPECT_EQ(readFile(srt), kSeedSRT);
    EXPECT_EQ(
        readFile(txt),
        "Files are converted on this machine.\n\nNothing is uploaded.\n\nAn hour in, still local.");
    EXPECT_NE(readFile(vtt).find("01:00:00.000 --> 01:00:03.750"), std::string::npos);
    if (!test::haveTool("ffmpeg"))
        GTEST_SKIP() << "ffmpeg not installed";
    for (const auto& file : {srt, vtt}) {
        const auto probe =
            runProgram({"ffmpeg", "-v", "error", "-i", file.string(), "-f", "srt", "-"});
        EXPECT_EQ(probe.exitCode, 0) << probe.err;
        EXPECT_NE(probe.out.find("01:00:00,000 --> 01:00:03,750"), std::string::npos) << probe.out;
        EXPECT_NE(probe.out.find("Nothing is uploaded."), std::string::npos) << probe.out;
    }
}

} // namespace
} // namespace kv
