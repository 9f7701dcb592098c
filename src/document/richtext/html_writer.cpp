// HTML writer.
#include "document/richtext/html_writer.h"

#include "document/richtext/paragraphs.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kv::richtext {
namespace {

void appendEscaped(std::string& out, std::string_view text, bool attribute) {
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"':
            if (attribute)
                out += "&quot;";
            else
                out += c;
            break;
        case '\r': break;
        default: out += c;
        }
    }
}

std::string number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4g", value);
    return buffer;
}

// Tabs, doubled spaces and spaces at either end only survive HTML with white-space preserved.
bool needsPreservedSpace(std::string_view text) {
    return text.find('\t') != std::string_view::npos || text.find("  ") != std::string_view::npos ||
           (!text.empty() && (text.front() == ' ' || text.back() == ' '));
}

} // namespace

std::string writeHTML(const RichText& text, std::string_view title) {
    const double body = bodyPointSize(text);
    std::string out;
    out.reserve(text.length() * 2 + 512);
    out += "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"UTF-8\">\n<title>";
    appendEscaped(out, title, false);
    out += "</title>\n<style>body{font-size:" + number(body) +
           "pt;line-height:1.4;}p{margin:0 0 0.6em 0;}</style>\n</head>\n<body>\n";

    forEachParagraph(text, [&](std::size_t start, std::size_t length) {
        const std::string_view plain = std::string_view(text.string()).substr(start, length);
        if (plain.empty()) {
            out += "<p><br></p>\n";
            return;
        }
        const TextRun* first = text.runAt(start);
        const int level = first == nullptr ? 0 : headingLevel(first->attributes, body);
        const std::string tag = level > 0 ? "h" + std::to_string(level) : "p";
        out += "<" + tag;
        if (needsPreservedSpace(plain))
            out += " style=\"white-space:pre-wrap\"";
        out += ">";

        const auto runs = text.runsIn(start, length);
        for (std::size_t i = 0; i < runs.size();) {
            // Consecutive runs with one link share one anchor.
            const std::string& link = runs[i].attributes.link;
            if (!link.empty()) {
                out += "<a href=\"";
                appendEscaped(out, link, true);
                out += "\">";
            }
            for (; i < runs.size() && runs[i].attributes.link == link; ++i) {
                const TextAttributes& a = runs[i].attributes;
                std::string close;
                const bool bold = level > 0 ? !a.bold : a.bold; // headings are bold already
                if (level == 0 && std::fabs(a.pointSize - body) > 0.01) {
                    out += "<span style=\"font-size:" + number(a.pointSize / std::max(body, 1.0)) +
                           "em\">";
                    close = "</span>" + close;
                }
                if (bold) {
                    out += level > 0 ? "<span style=\"font-weight:normal\">" : "<strong>";
                    close = (level > 0 ? "</span>" : "</strong>") + close;
                }
                if (a.italic) {
                    out += "<em>";
                    close = "</em>" + close;
                }
                if (a.monospace) {
                    out += "<code>";
                    close = "</code>" + close;
                }
                appendEscaped(out,
                              std::string_view(text.string()).substr(runs[i].start, runs[i].length),
                              false);
                out += close;
            }
            if (!link.empty())
                out += "</a>";
        }
        out += "</" + tag + ">\n";
    });
    out += "</body>\n</html>\n";
    return out;
}

} // namespace kv::richtext
