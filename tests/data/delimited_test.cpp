// CSV/TSV reading and writing.
#include "data/delimited.h"

#include <gtest/gtest.h>

namespace kv::DataConverter {
namespace {

using Rows = std::vector<std::vector<std::string>>;

Rows parse(std::string text, char delimiter = ',') {
    return parseDelimited(std::move(text), delimiter).toRows();
}

const std::string kSeed = "id,name,notes,price,in_stock\n"
                          "1,\"Widget, large\",Caf\u00e9 grade,9.99,true\n"
                          "2,Gadget,\"Say \"\"hi\"\"\",24.50,false\n"
                          "3,Gizmo,\"two\nlines\",5,TRUE\n"
                          "4,Thing,,0,false\n";

TEST(Delimited, ReadsTheSeedTable) {
    const Rows rows = parse(kSeed);
    ASSERT_EQ(rows.size(), 5u);
    for (const auto& row : rows)
        EXPECT_EQ(row.size(), 5u);
    EXPECT_EQ(rows[1][1], "Widget, large");
    EXPECT_EQ(rows[1][2], "Caf\u00e9 grade");
    EXPECT_EQ(rows[2][2], "Say \"hi\"");
    EXPECT_EQ(rows[3][2], "two\nlines");
    EXPECT_EQ(rows[4][2], "");
    EXPECT_EQ(rows[4][3], "0");
}

TEST(Delimited, LineEndsAndBlankLines) {
    const Rows expected{{"a", "b"}, {"1", "2"}, {"3", "4"}};
    EXPECT_EQ(parse("a,b\n1,2\n3,4\n"), expected);
    EXPECT_EQ(parse("a,b\r\n1,2\r\n3,4\r\n"), expected);
    EXPECT_EQ(parse("a,b\r1,2\r3,4"), expected);
    EXPECT_EQ(parse("a,b\n\n1,2\r\n\r\n3,4\n\"\"\n"), expected); // blank and "" lines give no row
    EXPECT_EQ(parse("\"a\r\nb\",c\r\n"),
              (Rows{{"a\r\nb", "c"}})); // line ends inside quotes are kept
    EXPECT_TRUE(parse("").empty());
    EXPECT_TRUE(parse("\n\r\n\n").empty());
}

TEST(Delimited, LenientQuotesAndRaggedRows) {
    EXPECT_EQ(parse("a\"b\"c,\"ab\"c\n"), (Rows{{"abc", "abc"}}));
    EXPECT_EQ(parse("x,\"unterminated,\nrest\n"), (Rows{{"x", "unterminated,\nrest\n"}}));
    EXPECT_EQ(parse("x,\"end\""), (Rows{{"x", "end"}}));
    EXPECT_EQ(parse("a,b,c\n1\n1,2,3,4\n , x \n"),
              (Rows{{"a", "b", "c"}, {"1"}, {"1", "2", "3", "4"}, {" ", " x "}}));
    EXPECT_EQ(parse("a,\n"), (Rows{{"a", ""}}));
    EXPECT_EQ(parse("a\tb,c\n", '\t'), (Rows{{"a", "b,c"}}));
}

TEST(Delimited, WriterQuotesExactlyTheCellsThatNeedIt) {
    const Table table = Table::fromRows(
        {{"plain", "a,b", "say \"x\"", "two\nlines", "cr\r", " spaced "}, {}, {"t\tab"}});
    EXPECT_EQ(writeDelimited(table, ','),
              "plain,\"a,b\",\"say \"\"x\"\"\",\"two\nlines\",\"cr\r\", spaced \n\nt\tab\n");
    EXPECT_EQ(writeDelimited(table, '\t'),
              "plain\ta,b\t\"say \"\"x\"\"\"\t\"two\nlines\"\t\"cr\r\"\t spaced \n\n\"t\tab\"\n");
}

TEST(Delimited, WriteThenReadIsIdentity) {
    // Every character class the dialect treats specially, in every position of a cell.
    const std::vector<std::string> pieces{
        "", "a", ",", "\"", "\n", "\r", "\r\n", "\t", " ", "\"\"", "\u00e9\U0001F600"};
    Rows rows;
    for (const auto& first : pieces) {
        std::vector<std::string> row{"k"};
        for (const auto& second : pieces)
            row.push_back(first + "x" + second);
        row.push_back(first);
        rows.push_back(row);
    }
    for (char delimiter : {',', '\t'}) {
        EXPECT_EQ(parse(writeDelimited(Table::fromRows(rows), delimiter), delimiter), rows);
    }
}

} // namespace
} // namespace kv::DataConverter
