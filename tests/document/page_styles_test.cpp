// Page style sheets rewritten for the HTML layout engine: custom properties and colour syntaxes
// it would otherwise read as black.
#include "platform/html/page_styles.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

using platform::PageStyles;
using platform::PageVariables;
using platform::plainColors;
using platform::StyledElement;

StyledElement element(std::string tag, std::map<std::string, std::string> attributes = {}) {
    return {std::move(tag), std::move(attributes)};
}

TEST(PageVariables, OnlyRulesOnTheRootOrBodyDefineThem) {
    PageVariables variables(element("html", {{"class", "light wide"}, {"data-theme", "paper"}}),
                            element("body", {{"id", "top"}}));
    variables.collect(R"css(
        :root { --gap: 15px; --width: min(var(--gap), 80vw) }
        .ayu { --bg: hsl(210, 25%, 8%); }
        .light, html:not(.js) { --bg: hsl(0, 0%, 100%); --fg: #000 !important; }
        [data-theme="paper"] { --accent: teal }
        body#top { --body: 1 }
        main .light { --inner: no }
        html:hover { --hover: no }
        @media (prefers-color-scheme: dark) { html:not(.js) { --bg: black } }
        .navy { --bg: navy }
    )css");
    EXPECT_EQ(variables.value("--bg"), "hsl(0, 0%, 100%)");
    EXPECT_EQ(variables.value("--fg"), "#000");
    EXPECT_EQ(variables.value("--width"), "min(15px, 80vw)");
    EXPECT_EQ(variables.value("--accent"), "teal");
    EXPECT_EQ(variables.value("--body"), "1");
    EXPECT_EQ(variables.value("--inner"), std::nullopt);
    EXPECT_EQ(variables.value("--hover"), std::nullopt);

    // A later rule wins; a cycle resolves to nothing.
    variables.collect(":root { --gap: 20px; --a: var(--b); --b: var(--a) }");
    EXPECT_EQ(variables.value("--width"), "min(20px, 80vw)");
    EXPECT_EQ(variables.value("--a"), std::nullopt);
}

TEST(PageVariables, RewriteSubstitutesOrDropsTheDeclaration) {
    PageVariables variables(element("html"), element("body"));
    variables.collect(":root{--bg:hsl(0,0%,100%);--pad:4px 8px;--font:\"Source Code Pro\", mono}");
    EXPECT_EQ(variables.rewrite("a{background-color:var(--bg);padding:var(--pad)}"),
              "a{background-color:rgb(255,255,255);padding:4px 8px}");
    // Unknown without a fallback: the declaration goes, the rest of the rule stays.
    EXPECT_EQ(variables.rewrite("p { color: var(--missing); margin: 0 }"), "p {; margin: 0 }");
    EXPECT_EQ(variables.rewrite("p{color:var(--missing, var(--also-missing, #123))}"),
              "p{color:#123}");
    // Selectors, @media preludes, strings and definitions are left as written.
    EXPECT_EQ(variables.rewrite("#abcd .x{content:\"var(--bg) #abcd\"}@media (min-width:1px){}"),
              "#abcd .x{content:\"var(--bg) #abcd\"}@media (min-width:1px){}");
    EXPECT_EQ(variables.rewrite(":root{--x:#abcd}"), ":root{--x:#abcd}");
    EXPECT_EQ(variables.rewrite("code{font-family:var(--font)}"),
              "code{font-family:\"Source Code Pro\", mono}");
    // A style attribute's declarations.
    EXPECT_EQ(variables.rewrite("color: hsla(120, 100%, 25%, 0.5); width: 3px"),
              "color: rgba(0,128,0,0.5); width: 3px");
}

TEST(PlainColors, SyntaxesTheLayoutEngineMisreads) {
    EXPECT_EQ(plainColors("hsl(0, 0%, 0%)"), "rgb(0,0,0)");
    EXPECT_EQ(plainColors("hsl(120deg 100% 50%)"), "rgb(0,255,0)");
    EXPECT_EQ(plainColors("hsl(0.5turn 100% 50% / 25%)"), "rgba(0,255,255,0.25)");
    EXPECT_EQ(plainColors("hsl(-120, 100%, 50%)"), "rgb(0,0,255)");
    EXPECT_EQ(plainColors("hsl(210, 25%, 8%)"), "rgb(15,20,26)");
    EXPECT_EQ(plainColors("#f008"), "rgba(255,0,0,0.533)");
    EXPECT_EQ(plainColors("#11223380 #abc #112233"), "rgba(17,34,51,0.502) #abc #112233");
    EXPECT_EQ(plainColors("rgb(255 128 0 / 50%)"), "rgba(255,128,0,0.5)");
    EXPECT_EQ(plainColors("RGBA(100%, 0%, 50%, .2)"), "rgba(255,0,128,0.2)");
    EXPECT_EQ(plainColors("1px solid hsl(0,100%,50%)"), "1px solid rgb(255,0,0)");
    // Left alone: what is not a colour, and what it cannot read as one.
    EXPECT_EQ(plainColors("url(a.svg#abcd) url(\"x#abcdef12\")"),
              "url(a.svg#abcd) url(\"x#abcdef12\")");
    EXPECT_EQ(plainColors("hsl(1 2)"), "hsl(1 2)");
    EXPECT_EQ(plainColors("myrgb(1,2,3) #abcdz"), "myrgb(1,2,3) #abcdz");
}

TEST(PageStyles, BlocksAttributesAndLinkedSheetsShareThePageVariables) {
    const std::string page =
        "<!doctype html><html class=\"light\"><head>"
        "<link rel=\"stylesheet\" href=\"vars.css\"><link rel=\"stylesheet\" media=\"print\" "
        "href=\"print.css\"><style>p{color:var(--fg)}</style></head>"
        "<body><p style=\"font-family:var(--font)\">a &lt;b&gt; <span style='color:#f00f'>c</span>"
        "</p><pre>style=\"color:var(--fg)\"</pre><script>var x = '<style>';</script>"
        "<!-- <style>p{color:var(--fg)}</style> --></body></html>";
    std::vector<std::string> asked;
    PageStyles styles(page, [&](const std::string& reference) -> std::optional<std::string> {
        asked.push_back(reference);
        if (reference == "vars.css")
            return "@import \"more.css\"; .light{--fg:hsl(0,0%,20%)}";
        if (reference == "more.css")
            return ":root{--font:\"A B\", serif}";
        if (reference == "print.css")
            return ":root{--fg:red}";
        return std::nullopt;
    });
    EXPECT_EQ(styles.html(),
              "<!doctype html><html class=\"light\"><head>"
              "<link rel=\"stylesheet\" href=\"vars.css\"><link rel=\"stylesheet\" media=\"print\" "
              "href=\"print.css\"><style>p{color:rgb(51,51,51)}</style></head>"
              "<body><p style=\"font-family:&quot;A B&quot;, serif\">a &lt;b&gt; <span "
              "style='color:rgb(255,0,0)'>c</span></p><pre>style=\"color:var(--fg)\"</pre>"
              "<script>var x = '<style>';</script>"
              "<!-- <style>p{color:var(--fg)}</style> --></body></html>");
    // A sheet for print is not read; each sheet is read once, then served rewritten.
    EXPECT_EQ(asked, (std::vector<std::string>{"vars.css", "more.css"}));
    EXPECT_EQ(styles.sheet("vars.css"), "@import \"more.css\"; .light{--fg:hsl(0,0%,20%)}");
    EXPECT_EQ(styles.sheet("more.css"), ":root{--font:\"A B\", serif}");
    EXPECT_EQ(styles.sheet("missing.css"), std::nullopt);
    EXPECT_EQ(asked.size(), 3u);
}

} // namespace
} // namespace kv
