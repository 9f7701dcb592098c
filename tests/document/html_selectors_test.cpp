// Structural selectors (:nth-child and its kin) on long sibling lists: every element matched as
// CSS counts it, read back from the heights of the laid-out page.
#include "platform/html/html_layout.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace kv {
namespace {

constexpr const char* kBaseStyle =
    "html,body,div,p,ul,li,section{display:block;margin:0;padding:0}"
    "table{display:table;border-spacing:0}tbody{display:table-row-group}tr{display:table-row}"
    "td{display:table-cell;padding:0}";

// The page height when every child is 1 px tall and those `rule` selects are 4 px.
int heightOf(const std::string& body, const std::string& rule) {
    const std::string html = "<html><head><style>body{margin:0} p,div,li,section{height:1px} td "
                             "{height:1px} " +
                             rule + "{height:4px}</style></head><body>" + body + "</body></html>";
    return platform::HtmlLayout(html, kBaseStyle, 400, {}).height();
}

// `count` children alternating between two tags in the pattern "ppd", with text between them.
std::string siblings(int count, const char* first, const char* second) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        const char* tag = i % 3 == 2 ? second : first;
        out += std::string("<") + tag + "></" + tag + "> \n";
    }
    return out;
}

int expectedHeight(int count, const std::function<bool(int index)>& selected) {
    int height = 0;
    for (int i = 1; i <= count; ++i)
        height += selected(i) ? 4 : 1;
    return height;
}

TEST(StructuralSelectors, CountAmongAllElementChildrenFromEitherEnd) {
    constexpr int kCount = 3000;
    const std::string children = siblings(kCount, "p", "section");
    for (const char* parent : {"div", "ul", "body"}) {
        SCOPED_TRACE(parent);
        const std::string body = std::string(parent) == "body" ? children
                                                               : "<" + std::string(parent) + ">" +
                                                                     children + "</" + parent + ">";
        const std::string inside =
            std::string(parent) == "body" ? "body>" : std::string(parent) + ">";
        EXPECT_EQ(heightOf(body, inside + ":nth-child(even)"),
                  expectedHeight(kCount, [](int i) { return i % 2 == 0; }));
        EXPECT_EQ(heightOf(body, inside + ":nth-child(3n+1)"),
                  expectedHeight(kCount, [](int i) { return i % 3 == 1; }));
        EXPECT_EQ(heightOf(body, inside + ":nth-last-child(2)"),
                  expectedHeight(kCount, [](int i) { return i == kCount - 1; }));
        EXPECT_EQ(heightOf(body, inside + ":first-child," + inside + ":last-child"),
                  expectedHeight(kCount, [](int i) { return i == 1 || i == kCount; }));
    }
}

TEST(StructuralSelectors, OfTypeCountsOnlyTheSameTag) {
    constexpr int kCount = 3000; // 2,000 p and 1,000 section, in the order p p section
    const std::string body = "<div>" + siblings(kCount, "p", "section") + "</div>";
    // The even p are the 2nd p of each group of three: index 3k+2 → p number 2k+2.
    EXPECT_EQ(heightOf(body, "p:nth-of-type(even)"),
              expectedHeight(kCount, [](int i) { return i % 3 == 2; }));
    EXPECT_EQ(heightOf(body, "section:nth-of-type(2n+1)"),
              expectedHeight(kCount, [](int i) { return i % 6 == 3; }));
    EXPECT_EQ(heightOf(body, "p:last-of-type,section:first-of-type"),
              expectedHeight(kCount, [](int i) { return i == 3 || i == kCount - 1; }));
    EXPECT_EQ(heightOf(body, "section:nth-last-of-type(1)"),
              expectedHeight(kCount, [](int i) { return i == kCount; }));
}

TEST(StructuralSelectors, ZebraRowsOfALongTable) {
    constexpr int kRows = 4000;
    std::string body = "<table>";
    for (int i = 0; i < kRows; ++i)
        body += "<tr><td></td><td></td></tr>\n";
    body += "</table>";
    EXPECT_EQ(heightOf(body, "tr:nth-child(even) td"),
              expectedHeight(kRows, [](int i) { return i % 2 == 0; }));
    EXPECT_EQ(heightOf(body, "tr:nth-last-child(3n) td"),
              expectedHeight(kRows, [](int i) { return (kRows - i + 1) % 3 == 0; }));
}

} // namespace
} // namespace kv
