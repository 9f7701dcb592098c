// Row pictures made in the background and kept by path and modification time.
#pragma once

#include "app/state/app_types.h"
#include "formats/supported_format.h"

#include <QObject>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace kv {

class ThumbnailCache : public QObject {
    Q_OBJECT

  public:
    /// 36 × 36 points at scale 2.
    static constexpr int kPixelSize = 72;
    static constexpr std::size_t kMaxEntries = 512;

    /// Makes one picture, on a worker thread; none when the file has none to give.
    using Maker = std::function<std::optional<Thumbnail>(const std::filesystem::path& file,
                                                         SupportedFormat format, int pixelSize)>;

    /// `maker` defaults to the image and video decoders of the media modules.
    explicit ThumbnailCache(Maker maker = {}, QObject* parent = nullptr);
    ~ThumbnailCache() override;

    /// The cached picture for the file as it is now (same modification time). Absent: one
    /// background request starts (image and video files only) and `ready(file)` follows when it
    /// succeeds. Never blocks.
    std::optional<Thumbnail> request(const std::filesystem::path& file, SupportedFormat format);

    /// Entries held now.
    std::size_t size() const;

  signals:
    void ready(const QString& file);

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace kv
