// Cuts a byte stream into line-feed-terminated frames, with a bound on a frame's length.
#include "frontends/tool_server/line_framer.h"

namespace kv::ToolServer {
namespace {

// A buffer that once held a long line gives its memory back instead of keeping it for good.
constexpr std::size_t kRetainedCapacityBytes = 1u << 20;

} // namespace

void LineFramer::keep(std::string_view rest) {
    if (m_discarding) {
        m_discarded += rest.size();
    } else if (m_buffer.size() + rest.size() > m_maxFrameBytes) {
        m_discarding = true;
        m_discarded = m_buffer.size() + rest.size();
        release();
    } else {
        m_buffer.append(rest);
    }
}

void LineFramer::release() {
    if (m_buffer.capacity() > kRetainedCapacityBytes) {
        std::string().swap(m_buffer);
    } else {
        m_buffer.clear();
    }
}

} // namespace kv::ToolServer
