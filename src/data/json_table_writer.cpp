// Writing table rows as a JSON array of objects, with each cell typed by its text.
#include "data/json_parser.h"
#include "data/json_table.h"

#include <string>
#include <string_view>
#include <vector>

namespace kv::DataConverter {
namespace {

bool isSpaceOrTab(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

bool isJSONNumber(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    const auto digit = [&](std::size_t at) { return at < n && text[at] >= '0' && text[at] <= '9'; };
    if (i < n && text[i] == '-')
        ++i;
    if (!digit(i))
        return false;
    if (text[i] == '0') {
        ++i;
    } else {
        while (digit(i))
            ++i;
    }
    if (i < n && text[i] == '.') {
        ++i;
        if (!digit(i))
            return false;
        while (digit(i))
            ++i;
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-'))
            ++i;
        if (!digit(i))
            return false;
        while (digit(i))
            ++i;
    }
    return i == n;
}

Scalar infer(std::string_view cell) {
    std::string_view trimmed = cell;
    while (!trimmed.empty() && isSpaceOrTab(trimmed.front()))
        trimmed.remove_prefix(1);
    while (!trimmed.empty() && isSpaceOrTab(trimmed.back()))
        trimmed.remove_suffix(1);
    if (trimmed.empty())
        return {Scalar::Kind::null, false, {}};
    if (isJSONNumber(trimmed))
        return {Scalar::Kind::number, false, trimmed};
    if (trimmed.size() == 4 || trimmed.size() == 5) {
        char lower[5];
        for (std::size_t i = 0; i < trimmed.size(); ++i) {
            const char c = trimmed[i];
            lower[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
        }
        const std::string_view word(lower, trimmed.size());
        if (word == "true")
            return {Scalar::Kind::boolean, true, {}};
        if (word == "false")
            return {Scalar::Kind::boolean, false, {}};
        if (word == "null")
            return {Scalar::Kind::null, false, {}};
    }
    return {Scalar::Kind::string, false, cell};
}

void Scalar::quote(std::string_view text, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t from = 0;
    for (std::size_t i = plainPrefix(text.data(), text.size()); i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(text.substr(from, i - from));
        from = i + 1;
        switch (c) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        case '\n': out.append("\\n"); break;
        default:
            out.append("\\u00");
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    out.append(text.substr(from));
    out.push_back('"');
}

std::string Scalar::quote(std::string_view text) {
    std::string out;
    quote(text, out);
    return out;
}

void writeJSON(const Table& table, TextOutput& out) {
    if (table.empty() || table.row(0).empty()) {
        out.append("[]");
        return;
    }
    const Table::Row header = table.row(0);
    const std::size_t columns = header.size();
    // "    \"key\": " per column, made once for ordinary widths; a header of millions of columns
    // has its prefixes made per cell instead of held all at once.
    constexpr std::size_t kCachedColumns = 4096;
    std::vector<std::string> cached;
    const auto makePrefix = [&](std::size_t c, std::string& prefix) {
        prefix = "    ";
        Scalar::quote(header[c].empty() ? "column" + std::to_string(c + 1) : std::string(header[c]),
                      prefix);
        prefix += ": ";
    };
    if (columns <= kCachedColumns) {
        cached.resize(columns);
        for (std::size_t c = 0; c < columns; ++c)
            makePrefix(c, cached[c]);
    }
    std::string quoted;
    std::string prefix;
    out.append("[\n");
    for (std::size_t r = 1; r < table.rowCount(); ++r) {
        const Table::Row row = table.row(r);
        out.append("  {\n");
        for (std::size_t c = 0; c < columns; ++c) {
            if (cached.empty()) {
                makePrefix(c, prefix);
                out.append(prefix);
            } else {
                out.append(cached[c]);
            }
            const Scalar value = infer(c < row.size() ? row[c] : std::string_view());
            switch (value.kind) {
            case Scalar::Kind::boolean: out.append(value.boolean ? "true" : "false"); break;
            case Scalar::Kind::number: out.append(value.text); break;
            case Scalar::Kind::null: out.append("null"); break;
            case Scalar::Kind::string:
                quoted.clear();
                Scalar::quote(value.text, quoted);
                out.append(quoted);
                break;
            }
            out.append(c + 1 < columns ? ",\n" : "\n");
        }
        out.append(r + 1 < table.rowCount() ? "  },\n" : "  }\n");
    }
    out.append("]\n");
}

std::string writeJSON(const Table& table) {
    TextOutput out;
    writeJSON(table, out);
    return out.take();
}

} // namespace kv::DataConverter
