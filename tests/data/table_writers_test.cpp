// HTML and Markdown table writers, and text decoding of sources.
#include "data/table_writers.h"
#include "data/text_decoding.h"

#include <gtest/gtest.h>

namespace kv::DataConverter {
namespace {

TEST(TableWriters, HTMLPageEscapesAndKeepsRowsRagged) {
    const std::string page = writeHTMLTable(
        Table::fromRows({{"a<b", "\"q\""}, {"x&y"}, {"1", "2", "3\nz"}}), "T&C's <list>");
    EXPECT_TRUE(page.starts_with(
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"UTF-8\"><title>"
        "T&amp;C's &lt;list&gt;</title>\n<style>\nbody{font-family:-apple-system,"));
    EXPECT_TRUE(page.ends_with("</style></head>\n<body>\n<table>\n"
                               "<tr><th>a&lt;b</th><th>&quot;q&quot;</th></tr>\n"
                               "<tr><td>x&amp;y</td></tr>\n"
                               "<tr><td>1</td><td>2</td><td>3\nz</td></tr>\n"
                               "</table>\n</body>\n</html>\n"));
}

TEST(TableWriters, MarkdownPadsEscapesPipesAndFlattensLines) {
    EXPECT_EQ(writeMarkdownTable(Table::fromRows({{"a|b", "c"}, {"1"}, {"x\ny", "2", "3"}})),
              "| a\\|b | c |  |\n| --- | --- | --- |\n| 1 |  |  |\n| x y | 2 | 3 |\n");
    EXPECT_EQ(writeMarkdownTable(Table::fromRows({{"only"}})), "| only |\n| --- |\n");
    EXPECT_EQ(writeMarkdownTable(Table()), "");
}

TEST(TextDecoding, TriesEncodingsInOrderWithoutMisreadingLatin1) {
    EXPECT_EQ(decodeText("\xEF\xBB\xBFid,\xC3\xA9"), "id,\u00e9");
    EXPECT_EQ(decodeText(std::string("\xFF\xFE"
                                     "a\0,\0\xE9\0",
                                     8)),
              "a,\u00e9"); // UTF-16LE with mark
    EXPECT_EQ(decodeText(std::string("\xFE\xFF\0a\xD8\x3D\xDE\x00", 8)), "a\U0001F600");
    EXPECT_EQ(decodeText(std::string("\0a\0b", 4)), "ab"); // no mark: NUL positions say big-endian
    EXPECT_EQ(decodeText(std::string("a\0b\0", 4)), "ab");
    // Even-length 8-bit text must not come out as UTF-16 noise.
    EXPECT_EQ(decodeText("caf\xE9"), "caf\u00e9");
    EXPECT_EQ(decodeText("\x80 5"), "\u20ac 5"); // Windows-1252 euro sign
    EXPECT_EQ(decodeText("\x81\x8D"), "\u0081\u008d");
}

} // namespace
} // namespace kv::DataConverter
