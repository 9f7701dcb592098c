// A strict RFC 8259 JSON reader that reports what it sees to a handler and builds nothing itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kv::DataConverter {

/// Containers nested deeper than this are refused as invalid rather than risking the stack.
constexpr int kMaxJSONDepth = 1000;

enum class JSONScalar { string, number, trueValue, falseValue, null };

/// Appends the text of a string literal's body (`raw`, between the quotes, already checked by the
/// parser) with its escapes decoded.
void appendUnescapedJSON(std::string_view raw, std::string& out);

/// How many leading bytes of [s, s+n) need no attention inside a string literal (no quote,
/// backslash or control character), found eight bytes at a time; may stop early.
inline std::size_t plainPrefix(const char* s, std::size_t n) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    std::size_t i = 0;
    while (i + 8 <= n) {
        std::uint64_t v;
        std::memcpy(&v, s + i, 8);
        const std::uint64_t quote = v ^ (kOnes * '"');
        const std::uint64_t slash = v ^ (kOnes * '\\');
        const std::uint64_t hit =
            ((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash) | ((v - kOnes * 0x20) & ~v);
        if (hit & kHigh)
            break;
        i += 8;
    }
    return i;
}

/// Parses `text` as exactly one JSON value with optional surrounding whitespace. The handler gets:
///   void beginContainer(char open, std::size_t at);      // '{' or '[' at byte `at`
///   void endContainer(char close, std::size_t after);    // '}' or ']', `after` = one past it
///   void key(std::string_view raw, bool escaped);         // body of a member name
///   void scalar(JSONScalar kind, std::string_view raw, bool escaped, std::size_t begin,
///   std::size_t end);
/// For strings `raw` is the body between the quotes; `escaped` says whether it holds a backslash.
/// Returns false on the first violation (events may have been reported up to that point).
template <typename Handler> class JSONParser {
  public:
    JSONParser(std::string_view text, Handler& handler)
        : m_s(text.data()), m_n(text.size()), m_h(handler) {}

    /// Any value at the top.
    bool parseValue() { return ws() && value(0) && ws() && m_p == m_n; }
    /// An object or array at the top (a bare scalar is refused).
    bool parseDocument() {
        ws();
        if (m_p >= m_n || (m_s[m_p] != '{' && m_s[m_p] != '['))
            return fail("expected '[' or '{'");
        if (!value(0))
            return false;
        ws();
        return m_p == m_n || fail("unexpected text after the end of the document");
    }

    /// After a failed parse: what was wrong, and the byte offset where it was found.
    std::string_view problem() const { return m_problem; }
    std::size_t problemOffset() const { return m_problemAt; }

  private:
    // Keeps the innermost failure: the one reported first as the calls unwind.
    bool fail(const char* problem) {
        if (m_problem.empty()) {
            m_problem = problem;
            m_problemAt = std::min(m_p, m_n);
        }
        return false;
    }

    bool ws() {
        while (m_p < m_n &&
               (m_s[m_p] == ' ' || m_s[m_p] == '\n' || m_s[m_p] == '\r' || m_s[m_p] == '\t'))
            ++m_p;
        return true;
    }

    static int hexDigit(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    bool hex4(unsigned& code) {
        if (m_n - m_p < 4)
            return false;
        code = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = hexDigit(m_s[m_p + static_cast<std::size_t>(i)]);
            if (d < 0)
                return false;
            code = code * 16 + static_cast<unsigned>(d);
        }
        m_p += 4;
        return true;
    }

    // Reads a string literal at m_p (an opening quote); gives its body and whether it has escapes.
    bool string(std::string_view& body, bool& escaped) {
        const std::size_t start = ++m_p;
        escaped = false;
        for (;;) {
            m_p += plainPrefix(m_s + m_p, m_n - m_p);
            while (m_p < m_n) {
                const auto c = static_cast<unsigned char>(m_s[m_p]);
                if (c == '"' || c == '\\' || c < 0x20)
                    break;
                ++m_p;
            }
            if (m_p >= m_n)
                return fail("unterminated string");
            const char c = m_s[m_p];
            if (c == '"')
                break;
            if (c != '\\')
                return fail("control character in a string");
            escaped = true;
            if (++m_p >= m_n)
                return fail("unterminated string");
            const char e = m_s[m_p++];
            if (e == 'u') {
                unsigned code = 0;
                if (!hex4(code))
                    return fail("invalid \\u escape");
                if (code >= 0xDC00 && code <= 0xDFFF)
                    return fail("invalid \\u escape"); // a lone low surrogate
                if (code >= 0xD800 && code <= 0xDBFF) {
                    unsigned low = 0;
                    if (m_n - m_p < 2 || m_s[m_p] != '\\' || m_s[m_p + 1] != 'u')
                        return fail("invalid \\u escape");
                    m_p += 2;
                    if (!hex4(low) || low < 0xDC00 || low > 0xDFFF)
                        return fail("invalid \\u escape");
                }
            } else if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' &&
                       e != 'r' && e != 't') {
                return fail("invalid escape in a string");
            }
        }
        body = std::string_view(m_s + start, m_p - start);
        ++m_p;
        return true;
    }

    bool digits() {
        const std::size_t start = m_p;
        while (m_p < m_n && m_s[m_p] >= '0' && m_s[m_p] <= '9')
            ++m_p;
        return m_p > start;
    }

    bool number() {
        const std::size_t start = m_p;
        if (m_s[m_p] == '-')
            ++m_p;
        if (m_p >= m_n)
            return fail("unexpected end of text");
        if (m_s[m_p] == '0') {
            ++m_p;
        } else if (!digits()) {
            return fail("expected a value");
        }
        if (m_p < m_n && m_s[m_p] == '.') {
            ++m_p;
            if (!digits())
                return fail("expected a digit");
        }
        if (m_p < m_n && (m_s[m_p] == 'e' || m_s[m_p] == 'E')) {
            ++m_p;
            if (m_p < m_n && (m_s[m_p] == '+' || m_s[m_p] == '-'))
                ++m_p;
            if (!digits())
                return fail("expected a digit");
        }
        m_h.scalar(JSONScalar::number, std::string_view(m_s + start, m_p - start), false, start,
                   m_p);
        return true;
    }

    bool literal(std::string_view word, JSONScalar kind) {
        if (std::string_view(m_s + m_p, m_n - m_p).substr(0, word.size()) != word)
            return fail("expected a value");
        m_h.scalar(kind, word, false, m_p, m_p + word.size());
        m_p += word.size();
        return true;
    }

    bool value(int depth) {
        if (m_p >= m_n)
            return fail("unexpected end of text");
        switch (m_s[m_p]) {
        case '{': return container(depth, '{', '}');
        case '[': return container(depth, '[', ']');
        case '"': {
            const std::size_t begin = m_p;
            std::string_view body;
            bool escaped = false;
            if (!string(body, escaped))
                return false;
            m_h.scalar(JSONScalar::string, body, escaped, begin, m_p);
            return true;
        }
        case 't': return literal("true", JSONScalar::trueValue);
        case 'f': return literal("false", JSONScalar::falseValue);
        case 'n': return literal("null", JSONScalar::null);
        default: return number();
        }
    }

    bool container(int depth, char open, char close) {
        if (depth >= kMaxJSONDepth)
            return fail("nested too deeply");
        m_h.beginContainer(open, m_p);
        ++m_p;
        ws();
        if (m_p < m_n && m_s[m_p] == close) {
            ++m_p;
            m_h.endContainer(close, m_p);
            return true;
        }
        for (;;) {
            ws();
            if (open == '{') {
                if (m_p >= m_n)
                    return fail("unexpected end of text");
                if (m_s[m_p] != '"')
                    return fail("expected a member name in quotes");
                std::string_view body;
                bool escaped = false;
                if (!string(body, escaped))
                    return false;
                m_h.key(body, escaped);
                ws();
                if (m_p >= m_n || m_s[m_p] != ':')
                    return fail("expected ':'");
                ++m_p;
                ws();
            }
            if (!value(depth + 1))
                return false;
            ws();
            if (m_p >= m_n || (m_s[m_p] != ',' && m_s[m_p] != close))
                return fail(close == ']' ? "expected ',' or ']'" : "expected ',' or '}'");
            if (m_s[m_p] == ',') {
                ++m_p;
                continue;
            }
            ++m_p;
            m_h.endContainer(close, m_p);
            return true;
        }
    }

    const char* m_s;
    std::size_t m_n;
    std::size_t m_p = 0;
    Handler& m_h;
    std::string_view m_problem;
    std::size_t m_problemAt = 0;
};

/// A handler that ignores everything: for checking validity alone.
struct JSONIgnore {
    void beginContainer(char, std::size_t) {}
    void endContainer(char, std::size_t) {}
    void key(std::string_view, bool) {}
    void scalar(JSONScalar, std::string_view, bool, std::size_t, std::size_t) {}
};

} // namespace kv::DataConverter
