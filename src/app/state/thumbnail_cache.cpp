// Row pictures made in the background and kept by path and modification time.
#include "app/state/thumbnail_cache.h"

#include <QMetaObject>
#include <QString>
#include <condition_variable>
#include <deque>
#include <system_error>
#include <thread>

namespace kv {
namespace {

namespace fs = std::filesystem;

struct Key {
    std::string path;
    fs::file_time_type modified;
    friend auto operator<=>(const Key&, const Key&) = default;
};

} // namespace

// One worker thread makes pictures in request order; results come back through the event loop.
struct ThumbnailCache::Impl {
    Maker maker;
    mutable std::mutex lock;
    std::condition_variable wake;
    std::deque<std::pair<Key, SupportedFormat>> waiting;
    std::set<Key> requested;
    std::map<Key, Thumbnail> cache;
    std::list<Key> order; // least recently made first
    std::jthread thread;
};

ThumbnailCache::ThumbnailCache(Maker maker, QObject* parent)
    : QObject(parent), m_impl(std::make_unique<Impl>()) {
    m_impl->maker = std::move(maker);
}

ThumbnailCache::~ThumbnailCache() {
    if (m_impl->thread.joinable()) {
        m_impl->thread.request_stop();
        m_impl->wake.notify_all();
        m_impl->thread.join();
    }
}

std::size_t ThumbnailCache::size() const {
    std::lock_guard guard(m_impl->lock);
    return m_impl->cache.size();
}

std::optional<Thumbnail> ThumbnailCache::request(const fs::path& file, SupportedFormat format) {
    const FileCategory category = categoryOf(format);
    if (!m_impl->maker || (category != FileCategory::image && category != FileCategory::video))
        return std::nullopt;
    std::error_code error;
    const auto modified = fs::last_write_time(file, error);
    if (error)
        return std::nullopt;
    const Key key{file.string(), modified};
    std::lock_guard guard(m_impl->lock);
    if (const auto found = m_impl->cache.find(key); found != m_impl->cache.end())
        return found->second;
    if (!m_impl->requested.insert(key).second)
        return std::nullopt;
    m_impl->waiting.emplace_back(key, format);
    if (!m_impl->thread.joinable()) {
        m_impl->thread = std::jthread([this](std::stop_token stop) {
            Impl& impl = *m_impl;
            for (;;) {
                std::pair<Key, SupportedFormat> next;
                {
                    std::unique_lock inner(impl.lock);
                    impl.wake.wait(inner,
                                   [&] { return !impl.waiting.empty() || stop.stop_requested(); });
                    if (stop.stop_requested())
                        return;
                    next = impl.waiting.front();
                    impl.waiting.pop_front();
                }
                std::optional<Thumbnail> made;
                try {
                    made = impl.maker(next.first.path, next.second, kPixelSize);
                } catch (const std::exception&) {
                    made.reset(); // a file without a picture keeps its icon
                }
                if (!made)
                    continue;
                {
                    std::lock_guard inner(impl.lock);
                    impl.cache[next.first] = std::move(*made);
                    impl.order.push_back(next.first);
                    while (impl.cache.size() > kMaxEntries) {
                        impl.cache.erase(impl.order.front());
                        impl.requested.erase(impl.order.front());
                        impl.order.pop_front();
                    }
                }
                const QString path = QString::fromStdString(next.first.path);
                QMetaObject::invokeMethod(
                    this, [this, path] { emit ready(path); }, Qt::QueuedConnection);
            }
        });
    }
    m_impl->wake.notify_all();
    return std::nullopt;
}

} // namespace kv
