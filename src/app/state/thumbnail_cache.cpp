// Row pictures made in the background and kept by path and modification time.
#include "app/state/thumbnail_cache.h"

#include "media_module/thumbnails.h"

#include <QMetaObject>
#include <QString>
#include <algorithm>
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

// Nearest-neighbour reduction so that the longer side fits; pictures already small stay as they
// are.
Thumbnail fitted(Thumbnails::Picture picture, int pixelSize) {
    const int longer = std::max(picture.width, picture.height);
    if (longer <= pixelSize || picture.width <= 0 || picture.height <= 0)
        return {.width = picture.width, .height = picture.height, .rgba = std::move(picture.rgba)};
    const int width = std::max(1, picture.width * pixelSize / longer);
    const int height = std::max(1, picture.height * pixelSize / longer);
    Thumbnail out{.width = width, .height = height, .rgba = {}};
    out.rgba.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    for (int y = 0; y < height; ++y) {
        const int fromY = y * picture.height / height;
        for (int x = 0; x < width; ++x) {
            const int fromX = x * picture.width / width;
            const auto from =
                (static_cast<std::size_t>(fromY) * static_cast<std::size_t>(picture.width) +
                 static_cast<std::size_t>(fromX)) *
                4;
            const auto to = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                             static_cast<std::size_t>(x)) *
                            4;
            std::copy_n(picture.rgba.begin() + static_cast<std::ptrdiff_t>(from), 4,
                        out.rgba.begin() + static_cast<std::ptrdiff_t>(to));
        }
    }
    return out;
}

// Image files through the image module (camera RAW and PDF pages are left to their icons: a DNG
// would open as its sensor mosaic), videos by their first frame.
std::optional<Thumbnail> makeThumbnail(const fs::path& file, SupportedFormat format,
                                       int pixelSize) {
    switch (categoryOf(format)) {
    case FileCategory::image:
        if (format == SupportedFormat::raw || format == SupportedFormat::pdf_image)
            return std::nullopt;
        return fitted(Thumbnails::image(file, pixelSize), pixelSize);
    case FileCategory::video: return fitted(Thumbnails::videoFrame(file, pixelSize), pixelSize);
    default: return std::nullopt;
    }
}

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
    m_impl->maker = maker ? std::move(maker) : Maker(&makeThumbnail);
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
