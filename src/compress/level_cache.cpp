// The encoded bytes of recently estimated images.
#include "compress/level_cache.h"

#include <array>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>

namespace kv::compress::LevelCache {
namespace {

constexpr std::size_t kMaxFiles = 4; // the desktop sheet and tool calls revisit few
constexpr std::size_t kMaxBytes = std::size_t{192} << 20; // all kept levels together

struct Key {
    std::string path;
    std::uintmax_t size = 0;
    std::filesystem::file_time_type modified{};
    SupportedFormat target = SupportedFormat::jpeg;
    bool operator==(const Key&) const = default;
};

struct Entry {
    Key key;
    std::array<SharedBytes, allCompressionLevels.size()> levels{};
};

std::mutex lock;
std::deque<Entry> entries; // most recent first

std::optional<Key> keyOf(const std::filesystem::path& file, SupportedFormat target) {
    std::error_code error;
    Key key;
    key.path = std::filesystem::weakly_canonical(file, error).string();
    if (error)
        return std::nullopt;
    key.size = std::filesystem::file_size(file, error);
    if (error)
        return std::nullopt;
    key.modified = std::filesystem::last_write_time(file, error);
    if (error)
        return std::nullopt;
    key.target = target;
    return key;
}

std::size_t bytesKept() {
    std::size_t total = 0;
    for (const auto& entry : entries)
        for (const auto& bytes : entry.levels)
            if (bytes)
                total += bytes->size();
    return total;
}

} // namespace

void store(const std::filesystem::path& file, SupportedFormat target, CompressionLevel level,
           SharedBytes bytes) {
    const auto key = keyOf(file, target);
    if (!key || !bytes || bytes->size() > kMaxBytes)
        return;
    std::lock_guard guard(lock);
    auto it = entries.begin();
    while (it != entries.end() && !(it->key == *key))
        ++it;
    Entry entry;
    if (it != entries.end()) {
        entry = std::move(*it);
        entries.erase(it);
    } else {
        entry.key = *key;
    }
    entry.levels[static_cast<std::size_t>(level)] = std::move(bytes);
    entries.push_front(std::move(entry));
    while (entries.size() > kMaxFiles || (entries.size() > 1 && bytesKept() > kMaxBytes))
        entries.pop_back();
}

SharedBytes find(const std::filesystem::path& file, SupportedFormat target,
                 CompressionLevel level) {
    const auto key = keyOf(file, target);
    if (!key)
        return nullptr;
    std::lock_guard guard(lock);
    for (const auto& entry : entries)
        if (entry.key == *key)
            return entry.levels[static_cast<std::size_t>(level)];
    return nullptr;
}

void clear() {
    std::lock_guard guard(lock);
    entries.clear();
}

} // namespace kv::compress::LevelCache
