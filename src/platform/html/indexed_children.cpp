#include "platform/html/indexed_children.h"

#include <array>
#include <string_view>

namespace kv::platform {

const ChildIndex::Position* ChildIndex::find(const litehtml::elements_vector& children,
                                             const litehtml::element* child) {
    // Children are only ever added at the ends (parsing appends, ::before and ::after are put
    // first and last), so the size and the two ends tell whether the list changed.
    const litehtml::element* front = children.empty() ? nullptr : children.front().get();
    const litehtml::element* back = children.empty() ? nullptr : children.back().get();
    if (children.size() != m_size || front != m_front || back != m_back)
        rebuild(children);
    const auto at = m_positions.find(child);
    return at == m_positions.end() ? nullptr : &at->second;
}

void ChildIndex::rebuild(const litehtml::elements_vector& children) {
    m_positions.clear();
    m_positions.reserve(children.size());
    std::unordered_map<std::string_view, int> ofType;
    m_count = 0;
    for (const auto& child : children) {
        if (child->get_display() == litehtml::display_inline_text)
            continue;
        const char* tag = child->get_tagName();
        m_positions[child.get()] = {++m_count, ++ofType[tag ? tag : ""], 0};
    }
    for (auto& [child, position] : m_positions) {
        const char* tag = child->get_tagName();
        position.typeCount = ofType[tag ? tag : ""];
    }
    m_size = children.size();
    m_front = children.empty() ? nullptr : children.front().get();
    m_back = children.empty() ? nullptr : children.back().get();
}

bool matchesStep(int index, int step, int offset) {
    const int distance = index - offset;
    if (step == 0)
        return distance == 0;
    // a·n + b = index with n ≥ 0: the distance has the step's sign (or is zero) and divides.
    if ((step > 0 && distance < 0) || (step < 0 && distance > 0))
        return false;
    return distance % step == 0;
}

std::shared_ptr<litehtml::element>
makeIndexedElement(const std::string& tagName, const std::shared_ptr<litehtml::document>& doc) {
    // The tags litehtml builds with classes of their own; of these only tables, bodies and
    // divisions hold long runs of element children.
    static constexpr std::array<std::string_view, 14> kOwnClasses = {
        "br", "p",  "img",   "td",   "th",     "link", "title",
        "a",  "tr", "style", "base", "script", "font", "li"};
    if (tagName == "table")
        return std::make_shared<IndexedChildren<litehtml::el_table>>(doc);
    if (tagName == "body")
        return std::make_shared<IndexedChildren<litehtml::el_body>>(doc);
    if (tagName == "div")
        return std::make_shared<IndexedChildren<litehtml::el_div>>(doc);
    for (const std::string_view own : kOwnClasses)
        if (tagName == own)
            return nullptr;
    return std::make_shared<IndexedChildren<litehtml::html_tag>>(doc);
}

} // namespace kv::platform
