// Cuts a byte stream into line-feed-terminated frames, with a bound on a frame's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kv::ToolServer {

class LineFramer {
  public:
    /// What `feed` reports: a complete non-empty frame, or a line longer than the bound (whose
    /// bytes were dropped as they arrived; `length` counts them all, the line feed excluded).
    struct Event {
        std::string_view frame;
        std::uint64_t length = 0;
        bool oversized = false;
    };

    explicit LineFramer(std::size_t maxFrameBytes) : m_maxFrameBytes(maxFrameBytes) {}

    /// Appends `bytes` and calls `onEvent(const Event&)` for each line they complete, in order. A
    /// frame's view is valid only during the call. Empty lines are skipped; a carriage return
    /// stays part of its frame.
    template <typename OnEvent> void feed(std::string_view bytes, OnEvent&& onEvent) {
        while (!bytes.empty()) {
            const std::size_t end = bytes.find('\n');
            if (end == std::string_view::npos) {
                keep(bytes);
                return;
            }
            const std::string_view piece = bytes.substr(0, end);
            bytes.remove_prefix(end + 1);
            if (m_discarding) {
                onEvent(
                    Event{.frame = {}, .length = m_discarded + piece.size(), .oversized = true});
                m_discarding = false;
                m_discarded = 0;
            } else if (m_buffer.size() + piece.size() > m_maxFrameBytes) {
                onEvent(Event{
                    .frame = {}, .length = m_buffer.size() + piece.size(), .oversized = true});
                release();
            } else if (m_buffer.empty()) {
                if (!piece.empty())
                    onEvent(Event{.frame = piece, .length = piece.size()});
            } else {
                m_buffer.append(piece);
                onEvent(Event{.frame = m_buffer, .length = m_buffer.size()});
                release();
            }
        }
    }

    /// Bytes held for the line still incomplete (never more than the bound).
    std::size_t pendingBytes() const { return m_buffer.size(); }

  private:
    void keep(std::string_view rest);
    void release();

    std::size_t m_maxFrameBytes;
    std::string m_buffer;
    bool m_discarding = false;
    std::uint64_t m_discarded = 0;
};

} // namespace kv::ToolServer
