// JSON and NDJSON tables: reading, key order, cell text, type inference and the writer.
#include "data/delimited.h"
#include "data/json_table.h"
#include "engine/conversion_error.h"

#include <gtest/gtest.h>

namespace kv::DataConverter {
namespace {

using Rows = std::vector<std::vector<std::string>>;

Rows read(std::string_view json, JSONReadReport* report = nullptr) {
    return rowsFromJSON(json, report).toRows();
}

void expectNotJSON(std::string_view json) {
    try {
        (void)rowsFromJSON(json);
        ADD_FAILURE() << "accepted: " << json.substr(0, 60);
    } catch (const ConversionError& error) {
        // The document parser's own error, with where it found it.
        EXPECT_TRUE(
            std::string_view(error.what()).starts_with("File appears corrupt: Not valid JSON: "))
            << error.what();
        EXPECT_NE(std::string_view(error.what()).find(" at line 1, column "),
                  std::string_view::npos)
            << error.what();
    }
}

TEST(JSONTable, ColumnsFollowTheFirstObjectThenSortedNewKeys) {
    EXPECT_EQ(read(R"([{"z":1,"a":2,"m":3},{"m":6,"q":7,"b":8,"a":5},{"c":9}])"),
              (Rows{{"z", "a", "m", "b", "q", "c"},
                    {"1", "2", "3", "", "", ""},
                    {"", "5", "6", "8", "7", ""},
                    {"", "", "", "", "", "9"}}));
    // Names with escapes match the parsed names; a nested first object is still the first object.
    EXPECT_EQ(read("[{\"\\u00e9t\\u00e9\":1,\"a\\\"b\":2}]"),
              (Rows{{"\u00e9t\u00e9", "a\"b"}, {"1", "2"}}));
    EXPECT_EQ(orderedKeysOfFirstObject(R"( [ [ {"y":{"n":1},"x":[{"k":0}],"y":2} ] ] )"),
              (std::vector<std::string>{"y", "x", "y"}));
    EXPECT_EQ(orderedKeysOfFirstObject(R"("{\"no\":1}" {"a":1)"), (std::vector<std::string>{"a"}));
}

TEST(JSONTable, ShapesOfTheTopLevel) {
    EXPECT_EQ(read(R"( {"b":true,"a":null} )"), (Rows{{"b", "a"}, {"true", ""}}));
    EXPECT_EQ(read("[1, 2.50, \"x\"]"), (Rows{{"1"}, {"2.5"}, {"x"}}));
    EXPECT_EQ(read("[{}, {}]"), (Rows{{"{}"}, {"{}"}}));
    EXPECT_EQ(read(R"([["id","name"],[1,"a"],[],"skipped",[2,"b",true]])"),
              (Rows{{"id", "name"}, {"1", "a"}, {}, {"2", "b", "true"}}));
    EXPECT_EQ(read(R"([{"a":{"x":[1,"s/t",null,{"q":"\"\n"}],"y":1.50}}])"),
              (Rows{{"a"}, {R"({"x":[1,"s/t",null,{"q":"\"\n"}],"y":1.5})"}}));
    expectNotJSON("42");
    // Valid, or nothing at all, but no items: the general message.
    for (std::string_view empty : {"[]", "", "  \n "}) {
        try {
            (void)rowsFromJSON(empty);
            ADD_FAILURE() << "accepted: " << empty;
        } catch (const ConversionError& error) {
            EXPECT_STREQ(error.what(), "File appears corrupt: Not valid JSON or NDJSON");
        }
    }
}

TEST(JSONTable, NDJSONSkipsBadLinesAndReportsThem) {
    JSONReadReport report;
    EXPECT_EQ(read("\n{\"a\":1}\r\n{broken\n\n  {\"a\":2,\"b\":3}\t\n[1] x\n", &report),
              (Rows{{"a", "b"}, {"1", ""}, {"2", "3"}}));
    EXPECT_EQ(report.skippedLines, 2u);
    EXPECT_EQ(report.firstSkippedLine, 3u); // counted in the file, leading blank line included
    expectNotJSON("{bad\n[also bad\n");
    // A line that fails after its object closed leaves no trace of that object.
    EXPECT_EQ(read("{}\n{\"a\":1} x\n[1]\n"), (Rows{{"{}"}, {"[1]"}}));
    EXPECT_EQ(read("{}\n[2]\n{\"b\":1}\n{\"a\":2}\n"),
              (Rows{{"b", "a"}, {"", ""}, {"1", ""}, {"", "2"}}));

    JSONReadReport items;
    (void)read(R"([{"a":1}, 7, [1]])", &items);
    EXPECT_EQ(items.skippedItems, 2u);
    EXPECT_EQ(items.firstSkippedItem, 2u);
}

TEST(JSONTable, TruncatedDocumentFailsWithTheParsersErrorNotAsNDJSON) {
    // Cut short inside the last object: the first line ("[") is no JSON document either.
    const std::string cut = "[\n  {\"a\": 1, \"b\": \"x\"},\n  {\"a\": 2, \"b\": "
                            "\"\u00e9t\u00e9\"},\n  {\"a\": 3, \"b\"";
    try {
        (void)rowsFromJSON(cut);
        ADD_FAILURE() << "a truncated array was accepted";
    } catch (const ConversionError& error) {
        EXPECT_STREQ(error.what(),
                     "File appears corrupt: Not valid JSON: expected ':' at line 4, column 15");
    }
    // Objects one per line after an opening line that ends in a comma.
    try {
        (void)rowsFromJSON("[{\"a\":1},\n{\"a\":2},\n{\"a\":3}\n{\"a\":4}]");
        ADD_FAILURE() << "a missing comma was accepted";
    } catch (const ConversionError& error) {
        EXPECT_STREQ(
            error.what(),
            "File appears corrupt: Not valid JSON: expected ',' or ']' at line 4, column 1");
    }
    // Leading blank lines count in the position.
    try {
        (void)rowsFromJSON("\n\n{\"a\": tru}");
        ADD_FAILURE();
    } catch (const ConversionError& error) {
        EXPECT_STREQ(error.what(),
                     "File appears corrupt: Not valid JSON: expected a value at line 3, column 7");
    }
}

TEST(JSONTable, StrictGrammarAndNestingBound) {
    for (std::string_view bad : {"[1,]", "{\"a\":1,}", "[01]", "[1.]", "[.5]", "[+1]", "['a']",
                                 "[\"\\x\"]", "[\"a\tb\"]", "[\"\\ud800\"]", "[\"\\udc00\\ud800\"]",
                                 "[NaN]", "[1] [2]", "{\"a\" 1}", "[tru]", "[1e]", "[-]"}) {
        expectNotJSON(bad);
    }
    EXPECT_EQ(read("[\"\\ud83d\\ude00\\/\\b\"]"), (Rows{{"\U0001F600/\b"}}));
    const std::string deepOK = std::string(1000, '[') + std::string(1000, ']');
    EXPECT_EQ(read(deepOK).size(), 1u);
    expectNotJSON(std::string(1001, '[') + std::string(1001, ']'));
    expectNotJSON(std::string(200000, '[')); // must not overflow the stack
}

TEST(JSONTable, CellTextOfValues) {
    const std::vector<std::pair<std::string_view, std::string_view>> cases{
        {"null", ""},
        {"true", "true"},
        {"false", "false"},
        {"9.99", "9.99"},
        {"24.50", "24.5"},
        {"1.0", "1.0"},
        {"-0", "0"},
        {"-0.0", "-0.0"},
        {"1E2", "100.0"},
        {"1e-7", "1e-07"},
        {"9223372036854775807", "9223372036854775807"},
        {"-9223372036854775808", "-9223372036854775808"},
        {"9223372036854775808", "9.223372036854776e+18"},
        {"1e400", "1e400"},
        {"0.1", "0.1"},
        {"\"a\\\\b\"", "a\\b"},
        {"[ 1 , { \"k\" : \"v\" } ]", "[1,{\"k\":\"v\"}]"}};
    for (const auto& [json, cell] : cases)
        EXPECT_EQ(stringify(json).value_or("<invalid>"), cell) << json;
    EXPECT_FALSE(stringify("[1,]").has_value());
}

TEST(JSONTable, NumberGrammarAndInference) {
    for (std::string_view yes : {"0", "-0", "9.99", "24.50", "1e5", "1E-3", "-12.5e+10"})
        EXPECT_TRUE(isJSONNumber(yes)) << yes;
    for (std::string_view no :
         {"007", "+1", ".5", "1.", "1e", "0x10", "NaN", "Infinity", "", "-", "1 ", "\u0661"}) {
        EXPECT_FALSE(isJSONNumber(no)) << no;
    }
    EXPECT_EQ(infer(" 42\t").kind, Scalar::Kind::number);
    EXPECT_EQ(infer(" 42\t").text, "42");
    EXPECT_EQ(infer(" x ").text, " x ");
    EXPECT_EQ(infer(" x ").kind, Scalar::Kind::string);
    EXPECT_EQ(infer("TRUE").kind, Scalar::Kind::boolean);
    EXPECT_TRUE(infer("TRUE").boolean);
    EXPECT_FALSE(infer(" False").boolean);
    EXPECT_EQ(infer("NULL").kind, Scalar::Kind::null);
    EXPECT_EQ(infer("").kind, Scalar::Kind::null);
    EXPECT_EQ(infer("\n1").kind, Scalar::Kind::string); // only spaces and tabs are trimmed
    EXPECT_EQ(Scalar::quote("q\"b\\r\rt\tn\n\x1b/\u00e9"),
              "\"q\\\"b\\\\r\\rt\\tn\\n\\u001b/\u00e9\"");
}

TEST(JSONTable, WritesTheSeedWithInferredTypes) {
    const Table table = parseDelimited("id,name,notes,price,in_stock,\n"
                                       "1,\"Widget, large\",\"Say \"\"hi\"\"\",9.99,true,x\n"
                                       "2, Gadget ,,24.50,FALSE\n",
                                       ',');
    EXPECT_EQ(writeJSON(table), "[\n"
                                "  {\n"
                                "    \"id\": 1,\n"
                                "    \"name\": \"Widget, large\",\n"
                                "    \"notes\": \"Say \\\"hi\\\"\",\n"
                                "    \"price\": 9.99,\n"
                                "    \"in_stock\": true,\n"
                                "    \"column6\": \"x\"\n"
                                "  },\n"
                                "  {\n"
                                "    \"id\": 2,\n"
                                "    \"name\": \" Gadget \",\n"
                                "    \"notes\": null,\n"
                                "    \"price\": 24.50,\n"
                                "    \"in_stock\": false,\n"
                                "    \"column6\": null\n"
                                "  }\n"
                                "]\n");
    EXPECT_EQ(writeJSON(Table::fromRows({{"a"}})), "[\n]\n");
    EXPECT_EQ(writeJSON(Table::fromRows({{}})), "[]");
    EXPECT_EQ(writeJSON(Table()), "[]");
}

TEST(JSONTable, WrittenJSONReadsBackToTheSameCells) {
    const Rows rows{
        {"k", "text", "n"}, {"1", "line\nbreak \"q\" \\ \u00e9", "2.5"}, {"x", "", "-0"}};
    EXPECT_EQ(read(writeJSON(Table::fromRows(rows))),
              (Rows{{"k", "text", "n"}, {"1", rows[1][1], "2.5"}, {"x", "", "0"}}));
}

} // namespace
} // namespace kv::DataConverter
