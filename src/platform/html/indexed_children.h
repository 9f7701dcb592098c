// Elements that answer :nth-child and its kin from an index of their children built once.
// litehtml walks the whole sibling list for every such match, which makes a long table or list
// with a zebra rule quadratic: 30,000 rows spent most of their 40 seconds there.
#pragma once

#include <litehtml.h>
#include <litehtml/el_body.h>
#include <litehtml/el_div.h>
#include <litehtml/el_table.h>
#include <memory>
#include <string>
#include <unordered_map>

namespace kv::platform {

/// Positions of a parent's element children, counted as litehtml counts them (text runs are
/// not children here; every other node is).
class ChildIndex {
  public:
    struct Position {
        int index = 0;     // 1-based among the counted children
        int ofType = 0;    // 1-based among those with the same tag name
        int typeCount = 0; // how many children have that tag name
    };

    /// The position of `child` among `children`, or nothing when it is not counted there. The
    /// index is rebuilt when the list has changed since it was made.
    const Position* find(const litehtml::elements_vector& children, const litehtml::element* child);
    int count() const { return m_count; }

  private:
    void rebuild(const litehtml::elements_vector& children);

    std::unordered_map<const litehtml::element*, Position> m_positions;
    std::size_t m_size = 0;
    const litehtml::element* m_front = nullptr;
    const litehtml::element* m_back = nullptr;
    int m_count = 0;
};

/// Whether the 1-based `index` is a·n + b for some n ≥ 0 (`step` a, `offset` b).
bool matchesStep(int index, int step, int offset);

template <class Base> class IndexedChildren : public Base {
  public:
    using Base::Base;

    bool is_nth_child(const litehtml::element::ptr& el, int step, int offset,
                      bool ofType) const override {
        const ChildIndex::Position* at = m_index.find(this->m_children, el.get());
        return at && matchesStep(ofType ? at->ofType : at->index, step, offset);
    }

    bool is_nth_last_child(const litehtml::element::ptr& el, int step, int offset,
                           bool ofType) const override {
        const ChildIndex::Position* at = m_index.find(this->m_children, el.get());
        if (!at)
            return false;
        const int fromEnd =
            ofType ? at->typeCount - at->ofType + 1 : m_index.count() - at->index + 1;
        return matchesStep(fromEnd, step, offset);
    }

  private:
    mutable ChildIndex m_index;
};

/// An element for `tagName` with an indexed child list, or nothing where litehtml has a class of
/// its own for the tag that never holds many element children (it then makes its own).
std::shared_ptr<litehtml::element>
makeIndexedElement(const std::string& tagName, const std::shared_ptr<litehtml::document>& doc);

} // namespace kv::platform
