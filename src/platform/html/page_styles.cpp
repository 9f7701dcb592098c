#include "platform/html/page_styles.h"

#include "base/ascii_case.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kv::platform {
namespace {

constexpr int kMaxVariableDepth = 16;
constexpr int kMaxImportDepth = 4;

bool isIdentChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool startsWithNoCase(std::string_view text, std::size_t at, std::string_view prefix) {
    if (text.size() - std::min(at, text.size()) < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lowerASCII(text[at + i]) != prefix[i])
            return false;
    return true;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

// Where the string, comment or parenthesised group starting at `at` ends (one past it); `at`
// itself when none starts there.
std::size_t skipAtom(std::string_view css, std::size_t at) {
    const char c = css[at];
    if (c == '"' || c == '\'') {
        std::size_t i = at + 1;
        while (i < css.size() && css[i] != c && css[i] != '\n')
            i += css[i] == '\\' ? 2 : 1;
        return std::min(i + 1, css.size());
    }
    if (c == '/' && at + 1 < css.size() && css[at + 1] == '*') {
        const std::size_t end = css.find("*/", at + 2);
        return end == std::string_view::npos ? css.size() : end + 2;
    }
    if (c == '(') {
        std::size_t i = at + 1;
        while (i < css.size() && css[i] != ')') {
            const std::size_t next = skipAtom(css, i);
            i = next == i ? i + 1 : next;
        }
        return std::min(i + 1, css.size());
    }
    return at;
}

// The text between the "(" at `open` and its ")" (or the end of `text` when it has none).
std::string_view insideParens(std::string_view text, std::size_t open) {
    std::size_t end = skipAtom(text, open);
    if (end > open + 1 && text[end - 1] == ')')
        --end;
    return text.substr(open + 1, end - open - 1);
}

// The index of the first of `stops` at `from` or after, outside strings, comments and parentheses.
std::size_t findOutside(std::string_view css, std::size_t from, std::string_view stops) {
    std::size_t i = from;
    while (i < css.size()) {
        if (stops.find(css[i]) != std::string_view::npos)
            return i;
        const std::size_t next = skipAtom(css, i);
        i = next == i ? i + 1 : next;
    }
    return css.size();
}

// The text of the block from the "{" at `open` to `end`, one past its "}".
std::string_view insideBraces(std::string_view css, std::size_t open, std::size_t end) {
    const std::size_t close = end > open + 1 && css[end - 1] == '}' ? end - 1 : end;
    return css.substr(open + 1, close - open - 1);
}

// The end of the block whose "{" is at `open` (one past its "}").
std::size_t blockEnd(std::string_view css, std::size_t open) {
    int depth = 0;
    std::size_t i = open;
    while (i < css.size()) {
        const std::size_t stop = findOutside(css, i, "{}");
        if (stop == css.size())
            return stop;
        depth += css[stop] == '{' ? 1 : -1;
        i = stop + 1;
        if (depth == 0)
            return i;
    }
    return css.size();
}

std::vector<std::string_view> splitOutside(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t from = 0;
    while (from <= text.size()) {
        const std::size_t at = findOutside(text, from, std::string_view(&separator, 1));
        parts.push_back(text.substr(from, at - from));
        from = at + 1;
    }
    return parts;
}

std::vector<std::string> classesOf(const StyledElement& element) {
    std::vector<std::string> classes;
    const auto found = element.attributes.find("class");
    if (found == element.attributes.end())
        return classes;
    std::string_view list = found->second;
    while (!list.empty()) {
        while (!list.empty() && isSpace(list.front()))
            list.remove_prefix(1);
        std::size_t end = 0;
        while (end < list.size() && !isSpace(list[end]))
            ++end;
        if (end > 0)
            classes.emplace_back(list.substr(0, end));
        list.remove_prefix(end);
    }
    return classes;
}

// Whether one compound selector (no combinators) selects `element`; `isRoot` answers :root.
bool compoundMatches(std::string_view selector, const StyledElement& element, bool isRoot) {
    const std::vector<std::string> classes = classesOf(element);
    std::size_t i = 0;
    const auto ident = [&] {
        const std::size_t start = i;
        while (i < selector.size() && isIdentChar(selector[i]))
            ++i;
        return selector.substr(start, i - start);
    };
    if (i < selector.size() && selector[i] == '*') {
        ++i;
    } else if (i < selector.size() && isIdentChar(selector[i])) {
        if (lowerASCII(ident()) != element.tag)
            return false;
    }
    while (i < selector.size()) {
        const char kind = selector[i++];
        if (kind == '.') {
            const std::string_view name = ident();
            if (name.empty() || std::find(classes.begin(), classes.end(), name) == classes.end())
                return false;
        } else if (kind == '#') {
            const auto id = element.attributes.find("id");
            if (id == element.attributes.end() || id->second != ident())
                return false;
        } else if (kind == ':') {
            const std::string name = lowerASCII(ident());
            std::string_view argument;
            if (i < selector.size() && selector[i] == '(') {
                argument = insideParens(selector, i);
                i = skipAtom(selector, i);
            }
            if (name == "root") {
                if (!isRoot)
                    return false;
            } else if (name == "not") {
                for (const std::string_view inner : splitOutside(argument, ','))
                    if (compoundMatches(trimmed(inner), element, isRoot))
                        return false;
            } else if (name == "is" || name == "where") {
                bool any = false;
                for (const std::string_view inner : splitOutside(argument, ','))
                    any = any || compoundMatches(trimmed(inner), element, isRoot);
                if (!any)
                    return false;
            } else {
                return false; // states and structure a printed page does not have
            }
        } else if (kind == '[') {
            const std::size_t close = findOutside(selector, i, "]");
            const std::string_view test = selector.substr(i, close - i);
            i = std::min(close + 1, selector.size());
            const std::size_t equals = test.find('=');
            std::string_view name = trimmed(test.substr(0, equals));
            char op = '=';
            if (equals != std::string_view::npos && equals > 0 &&
                std::string_view("~|^$*").find(test[equals - 1]) != std::string_view::npos) {
                op = test[equals - 1];
                name = trimmed(test.substr(0, equals - 1));
            }
            const auto value = element.attributes.find(lowerASCII(name));
            if (value == element.attributes.end())
                return false;
            if (equals == std::string_view::npos)
                continue;
            std::string_view wanted = trimmed(test.substr(equals + 1));
            if (wanted.size() >= 2 && (wanted.front() == '"' || wanted.front() == '\'') &&
                wanted.back() == wanted.front())
                wanted = wanted.substr(1, wanted.size() - 2);
            const std::string_view have = value->second;
            const bool ok =
                op == '='   ? have == wanted
                : op == '~' ? std::find(classes.begin(), classes.end(), wanted) != classes.end() ||
                                  have == wanted
                : op == '^' ? have.starts_with(wanted)
                : op == '$' ? have.ends_with(wanted)
                : op == '*' ? have.find(wanted) != std::string_view::npos
                            : have == wanted || have.starts_with(std::string(wanted) + "-");
            if (!ok)
                return false;
        } else {
            return false;
        }
    }
    return true;
}

// A number with an optional unit: "120deg", "50%", ".5".
struct Number {
    double value = 0;
    std::string unit;
};

std::optional<Number> parseNumber(std::string_view token) {
    const std::string text(token);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(value))
        return std::nullopt;
    return Number{value, lowerASCII(std::string_view(end))};
}

std::vector<std::string_view> colorArguments(std::string_view inside) {
    std::vector<std::string_view> tokens;
    std::size_t i = 0;
    while (i < inside.size()) {
        while (i < inside.size() && (isSpace(inside[i]) || inside[i] == ','))
            ++i;
        if (i < inside.size() && inside[i] == '/') {
            tokens.push_back(inside.substr(i, 1));
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < inside.size() && !isSpace(inside[i]) && inside[i] != ',' && inside[i] != '/')
            ++i;
        if (i > start)
            tokens.push_back(inside.substr(start, i - start));
    }
    return tokens;
}

int channel(double value) {
    return static_cast<int>(std::lround(std::clamp(value, 0.0, 255.0)));
}

std::string rgbText(double red, double green, double blue, double alpha) {
    std::string out = alpha >= 1 ? "rgb(" : "rgba(";
    out += std::to_string(channel(red)) + "," + std::to_string(channel(green)) + "," +
           std::to_string(channel(blue));
    if (alpha < 1) {
        char text[16];
        std::snprintf(text, sizeof text, ",%.3g", std::clamp(alpha, 0.0, 1.0));
        out += text;
    }
    return out + ")";
}

// The arguments of rgb()/rgba()/hsl()/hsla() as an rgb()/rgba() litehtml reads; nothing when they
// do not form a colour.
std::optional<std::string> functionColor(std::string_view function, std::string_view inside) {
    std::vector<std::string_view> tokens = colorArguments(inside);
    double alpha = 1;
    if (tokens.size() == 5 && tokens[3] == "/")
        tokens.erase(tokens.begin() + 3);
    if (tokens.size() == 4) {
        const auto a = parseNumber(tokens[3]);
        if (!a || (!a->unit.empty() && a->unit != "%"))
            return std::nullopt;
        alpha = a->unit == "%" ? a->value / 100 : a->value;
        tokens.pop_back();
    }
    if (tokens.size() != 3)
        return std::nullopt;
    std::array<Number, 3> values;
    for (std::size_t k = 0; k < 3; ++k) {
        const auto number = tokens[k] == "none" ? Number{} : parseNumber(tokens[k]);
        if (!number)
            return std::nullopt;
        values[k] = *number;
    }
    if (function.starts_with("rgb")) {
        std::array<double, 3> rgb{};
        for (std::size_t k = 0; k < 3; ++k) {
            if (!values[k].unit.empty() && values[k].unit != "%")
                return std::nullopt;
            rgb[k] = values[k].unit == "%" ? values[k].value * 255 / 100 : values[k].value;
        }
        return rgbText(rgb[0], rgb[1], rgb[2], alpha);
    }
    double hue = values[0].value;
    const std::string& unit = values[0].unit;
    if (unit == "rad")
        hue = hue * 180 / 3.14159265358979;
    else if (unit == "grad")
        hue = hue * 0.9;
    else if (unit == "turn")
        hue = hue * 360;
    else if (!unit.empty() && unit != "deg")
        return std::nullopt;
    for (std::size_t k = 1; k < 3; ++k)
        if (!values[k].unit.empty() && values[k].unit != "%")
            return std::nullopt;
    hue = std::fmod(std::fmod(hue, 360) + 360, 360) / 360;
    const double s = std::clamp(values[1].value / 100, 0.0, 1.0);
    const double l = std::clamp(values[2].value / 100, 0.0, 1.0);
    const double q = l < 0.5 ? l * (1 + s) : l + s - l * s;
    const double p = 2 * l - q;
    const auto component = [&](double t) {
        t = t < 0 ? t + 1 : t > 1 ? t - 1 : t;
        const double v = t < 1.0 / 6   ? p + (q - p) * 6 * t
                         : t < 0.5     ? q
                         : t < 2.0 / 3 ? p + (q - p) * (2.0 / 3 - t) * 6
                                       : p;
        return v * 255;
    };
    return rgbText(component(hue + 1.0 / 3), component(hue), component(hue - 1.0 / 3), alpha);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = lowerASCII(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Appends `value` to `out` with its variables substituted; false when one is unknown.
bool replaceVariables(std::string_view value, std::string& out,
                      const std::function<std::optional<std::string>(std::string_view)>& lookup) {
    std::size_t i = 0;
    while (i < value.size()) {
        if (startsWithNoCase(value, i, "var(") && (i == 0 || !isIdentChar(value[i - 1]))) {
            const std::size_t end = skipAtom(value, i + 3);
            const std::string_view inside = insideParens(value, i + 3);
            const std::size_t comma = findOutside(inside, 0, ",");
            const auto resolved = lookup(trimmed(inside.substr(0, comma)));
            if (resolved) {
                out += *resolved;
            } else if (comma < inside.size()) {
                if (!replaceVariables(trimmed(inside.substr(comma + 1)), out, lookup))
                    return false;
            } else {
                return false;
            }
            i = end;
            continue;
        }
        const std::size_t next = value[i] == '"' || value[i] == '\'' ? skipAtom(value, i) : i + 1;
        out.append(value.substr(i, next - i));
        i = next;
    }
    return true;
}

struct Tag {
    std::string name;
    std::size_t end = 0; // one past ">"
    StyledElement element;
    struct Range {
        std::size_t begin = 0, end = 0;
        char quote = 0;
    };
    std::optional<Range> style; // the style attribute's value
};

// The tag opening at `at` ("<" and a letter), its attributes read.
Tag readTag(const std::string& html, std::size_t at) {
    Tag tag;
    std::size_t i = at + 1;
    while (i < html.size() && (isIdentChar(html[i]) || html[i] == ':'))
        tag.name += lowerASCII(html[i++]);
    tag.element.tag = tag.name;
    while (i < html.size() && html[i] != '>') {
        if (isSpace(html[i]) || html[i] == '/') {
            ++i;
            continue;
        }
        std::string name;
        while (i < html.size() && !isSpace(html[i]) && html[i] != '=' && html[i] != '>' &&
               !(html[i] == '/' && i + 1 < html.size() && html[i + 1] == '>'))
            name += lowerASCII(html[i++]);
        if (name.empty()) {
            ++i;
            continue;
        }
        while (i < html.size() && isSpace(html[i]))
            ++i;
        Tag::Range value{i, i, 0};
        if (i < html.size() && html[i] == '=') {
            ++i;
            while (i < html.size() && isSpace(html[i]))
                ++i;
            if (i < html.size() && (html[i] == '"' || html[i] == '\'')) {
                const char quote = html[i];
                const std::size_t close = html.find(quote, i + 1);
                const std::size_t stop = close == std::string::npos ? html.size() : close;
                value = {i + 1, stop, quote};
                i = std::min(stop + 1, html.size());
            } else {
                const std::size_t start = i;
                while (i < html.size() && !isSpace(html[i]) && html[i] != '>')
                    ++i;
                value = {start, i, 0};
            }
        }
        if (!tag.element.attributes.contains(name)) {
            tag.element.attributes[name] = html.substr(value.begin, value.end - value.begin);
            if (name == "style")
                tag.style = value;
        }
    }
    tag.end = std::min(i + 1, html.size());
    return tag;
}

// What the page says about its styles, in document order.
struct PageScan {
    StyledElement root{"html", {}};
    StyledElement body{"body", {}};
    struct Source {
        bool linked = false;
        std::size_t begin = 0, end = 0; // a <style> block's text
        std::string reference;          // a linked sheet
    };
    std::vector<Source> sources;
    std::vector<Tag::Range> styleAttributes;
};

PageScan scanPage(const std::string& html) {
    PageScan scan;
    bool sawRoot = false, sawBody = false;
    std::size_t i = 0;
    while ((i = html.find('<', i)) != std::string::npos) {
        if (html.compare(i, 4, "<!--") == 0) {
            const std::size_t end = html.find("-->", i + 4);
            i = end == std::string::npos ? html.size() : end + 3;
            continue;
        }
        if (i + 1 >= html.size() || !((html[i + 1] >= 'a' && html[i + 1] <= 'z') ||
                                      (html[i + 1] >= 'A' && html[i + 1] <= 'Z'))) {
            ++i;
            continue;
        }
        Tag tag = readTag(html, i);
        i = tag.end;
        if (tag.style)
            scan.styleAttributes.push_back(*tag.style);
        if (tag.name == "html" && !sawRoot) {
            sawRoot = true;
            scan.root = tag.element;
        } else if (tag.name == "body" && !sawBody) {
            sawBody = true;
            scan.body = tag.element;
        } else if (tag.name == "link") {
            const auto& attributes = tag.element.attributes;
            const auto rel = attributes.find("rel");
            const auto href = attributes.find("href");
            const auto media = attributes.find("media");
            if (rel != attributes.end() && href != attributes.end() &&
                lowerASCII(rel->second).find("stylesheet") != std::string::npos &&
                (media == attributes.end() ||
                 lowerASCII(media->second).find("print") == std::string::npos))
                scan.sources.push_back({true, 0, 0, href->second});
        }
        // Raw text runs to its closing tag: a "<" inside is text, not a tag.
        if (tag.name == "style" || tag.name == "script" || tag.name == "textarea" ||
            tag.name == "title" || tag.name == "xmp") {
            std::size_t close = i;
            while ((close = html.find("</", close)) != std::string::npos &&
                   !startsWithNoCase(html, close + 2, tag.name))
                close += 2;
            const std::size_t textEnd = close == std::string::npos ? html.size() : close;
            if (tag.name == "style")
                scan.sources.push_back({false, i, textEnd, {}});
            i = textEnd;
        }
    }
    return scan;
}

std::string escapedFor(std::string text, char quote) {
    if (quote == 0)
        quote = '"';
    std::string out;
    for (const char c : text) {
        if (c == quote)
            out += quote == '"' ? "&quot;" : "&#39;";
        else
            out += c;
    }
    return out;
}

} // namespace

PageVariables::PageVariables(StyledElement root, StyledElement body)
    : m_root(std::move(root)), m_body(std::move(body)) {}

bool PageVariables::appliesToPage(std::string_view selectors) const {
    for (const std::string_view part : splitOutside(selectors, ',')) {
        const std::string_view selector = trimmed(part);
        // A compound selector only: with a combinator it selects something inside the page.
        if (selector.empty() || findOutside(selector, 0, " \t\n\r\f>+~") != selector.size())
            continue;
        if (compoundMatches(selector, m_root, true) || compoundMatches(selector, m_body, false))
            return true;
    }
    return false;
}

void PageVariables::collect(std::string_view css) {
    std::size_t i = 0;
    while (i < css.size()) {
        const std::size_t stop = findOutside(css, i, "{;}");
        if (stop == css.size())
            break;
        if (css[stop] != '{') {
            i = stop + 1; // @import, @charset, or a stray "}"
            continue;
        }
        const std::string_view prelude = trimmed(css.substr(i, stop - i));
        const std::size_t end = blockEnd(css, stop);
        if (!prelude.starts_with('@') && appliesToPage(prelude)) {
            const std::string_view block = insideBraces(css, stop, end);
            for (const std::string_view declaration : splitOutside(block, ';')) {
                const std::string_view text = trimmed(declaration);
                const std::size_t colon = text.find(':');
                if (!text.starts_with("--") || colon == std::string_view::npos)
                    continue;
                std::string_view value = trimmed(text.substr(colon + 1));
                if (const std::size_t bang = value.rfind('!');
                    bang != std::string_view::npos &&
                    lowerASCII(value.substr(bang)).find("important") != std::string::npos)
                    value = trimmed(value.substr(0, bang));
                m_values[std::string(trimmed(text.substr(0, colon)))] = std::string(value);
            }
        }
        i = end;
    }
}

std::optional<std::string> PageVariables::value(std::string_view name) const {
    return substitute(name, 0);
}

std::optional<std::string> PageVariables::substitute(std::string_view name, int depth) const {
    if (depth > kMaxVariableDepth)
        return std::nullopt;
    const auto found = m_values.find(name);
    if (found == m_values.end())
        return std::nullopt;
    std::string out;
    if (!replaceVariables(found->second, out,
                          [&](std::string_view inner) { return substitute(inner, depth + 1); }))
        return std::nullopt;
    return out;
}

std::string PageVariables::rewrite(std::string_view css) const {
    std::string out;
    out.reserve(css.size());
    std::size_t i = 0;
    while (i < css.size()) {
        const std::size_t stop = findOutside(css, i, "{;}");
        const std::string_view segment = css.substr(i, stop - i);
        const bool prelude = stop < css.size() && css[stop] == '{';
        const std::string_view text = trimmed(segment);
        if (prelude || text.starts_with("--") ||
            (segment.find("var(") == std::string_view::npos &&
             segment.find("VAR(") == std::string_view::npos &&
             segment.find_first_of("#(") == std::string_view::npos)) {
            out.append(segment);
        } else {
            std::string substituted;
            if (replaceVariables(segment, substituted,
                                 [&](std::string_view name) { return substitute(name, 0); }))
                out += plainColors(substituted);
            // else: the declaration is dropped, as a browser drops one it cannot compute
        }
        if (stop < css.size())
            out += css[stop];
        i = stop + 1;
    }
    return out;
}

std::string plainColors(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    std::size_t i = 0;
    while (i < value.size()) {
        const char c = value[i];
        if (c == '"' || c == '\'' || (c == '/' && i + 1 < value.size() && value[i + 1] == '*')) {
            const std::size_t end = skipAtom(value, i);
            out.append(value.substr(i, end - i));
            i = end;
            continue;
        }
        const bool wordStart = i == 0 || !isIdentChar(value[i - 1]);
        if (wordStart && startsWithNoCase(value, i, "url(")) {
            const std::size_t end = skipAtom(value, i + 3);
            out.append(value.substr(i, end - i));
            i = end;
            continue;
        }
        if (c == '#') {
            std::size_t end = i + 1;
            while (end < value.size() && hexValue(value[end]) >= 0)
                ++end;
            const std::size_t digits = end - i - 1;
            if ((digits == 4 || digits == 8) && (end == value.size() || !isIdentChar(value[end]))) {
                const auto at = [&](std::size_t k) {
                    return digits == 4 ? hexValue(value[i + 1 + k]) * 17
                                       : hexValue(value[i + 1 + 2 * k]) * 16 +
                                             hexValue(value[i + 2 + 2 * k]);
                };
                out += rgbText(at(0), at(1), at(2), at(3) / 255.0);
                i = end;
                continue;
            }
        }
        if (wordStart) {
            bool replaced = false;
            for (const std::string_view function : {"rgba(", "rgb(", "hsla(", "hsl("}) {
                if (!startsWithNoCase(value, i, function))
                    continue;
                const std::size_t open = i + function.size() - 1;
                const std::size_t end = skipAtom(value, open);
                if (end > open + 1 && value[end - 1] == ')') {
                    if (const auto color = functionColor(function, insideParens(value, open))) {
                        out += *color;
                        i = end;
                        replaced = true;
                    }
                }
                break;
            }
            if (replaced)
                continue;
        }
        out += c;
        ++i;
    }
    return out;
}

PageStyles::PageStyles(const std::string& html, Loader load)
    : m_load(std::move(load)), m_variables(StyledElement{}, StyledElement{}) {
    const PageScan scan = scanPage(html);
    m_variables = PageVariables(scan.root, scan.body);
    for (const auto& source : scan.sources) {
        if (source.linked) {
            if (const auto text = this->load(source.reference))
                learn(*text, 0);
        } else {
            learn(html.substr(source.begin, source.end - source.begin), 0);
        }
    }
    // Rewrite <style> blocks and style attributes, in document order.
    struct Edit {
        std::size_t begin, end;
        std::string text;
    };
    std::vector<Edit> edits;
    for (const auto& source : scan.sources)
        if (!source.linked)
            edits.push_back({source.begin, source.end,
                             m_variables.rewrite(std::string_view(html).substr(
                                 source.begin, source.end - source.begin))});
    for (const auto& range : scan.styleAttributes) {
        std::string text = escapedFor(m_variables.rewrite(std::string_view(html).substr(
                                          range.begin, range.end - range.begin)),
                                      range.quote);
        if (range.quote == 0)
            text = "\"" + text + "\"";
        edits.push_back({range.begin, range.end, std::move(text)});
    }
    std::sort(edits.begin(), edits.end(),
              [](const Edit& a, const Edit& b) { return a.begin < b.begin; });
    m_html.reserve(html.size());
    std::size_t copied = 0;
    for (const auto& edit : edits) {
        if (edit.begin < copied)
            continue;
        m_html.append(html, copied, edit.begin - copied);
        m_html += edit.text;
        copied = edit.end;
    }
    m_html.append(html, copied);
}

void PageStyles::learn(const std::string& css, int depth) {
    // Imported sheets come first, as @import must.
    if (depth < kMaxImportDepth) {
        std::size_t at = 0;
        while ((at = css.find("@import", at)) != std::string::npos) {
            at += 7;
            std::string_view rest = trimmed(std::string_view(css).substr(at, 512));
            if (startsWithNoCase(rest, 0, "url("))
                rest.remove_prefix(4);
            if (rest.empty() || (rest.front() != '"' && rest.front() != '\''))
                continue;
            const std::size_t close = rest.find(rest.front(), 1);
            if (close == std::string_view::npos)
                continue;
            if (const auto text = load(std::string(rest.substr(1, close - 1))))
                learn(*text, depth + 1);
        }
    }
    m_variables.collect(css);
}

std::optional<std::string> PageStyles::load(const std::string& reference) {
    if (const auto known = m_loaded.find(reference); known != m_loaded.end())
        return known->second;
    std::optional<std::string> text = m_load ? m_load(reference) : std::nullopt;
    m_loaded.emplace(reference, text);
    return text;
}

std::optional<std::string> PageStyles::sheet(const std::string& reference) {
    const auto text = load(reference);
    if (!text)
        return std::nullopt;
    return m_variables.rewrite(*text);
}

} // namespace kv::platform
