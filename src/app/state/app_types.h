// Value types of the desktop state: toasts, recents, appearance and accent choices, panel requests.
#pragma once

#include "base/uuid.h"
#include "formats/supported_format.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

/// The transient message at the bottom of the window.
struct Toast {
    enum class Kind { success, warning, error };

    Uuid id = Uuid::random();
    Kind kind = Kind::success;
    std::string title;
    std::optional<std::string> detail;

    static Toast make(Kind kind, std::string title, std::optional<std::string> detail = {});

    friend bool operator==(const Toast&, const Toast&) = default;
};

/// How long a toast stays: clamp(words × 0.28 + 1.5, 2.4, 8.0) seconds, counting the
/// whitespace-separated words of title + " " + detail.
double toastDisplaySeconds(const Toast& toast);

/// One remembered conversion, replayable from the sidebar.
struct RecentJob {
    Uuid id = Uuid::random();
    std::string sourcePath;
    std::string sourceFormatRaw;
    std::string targetFormatRaw;
    std::chrono::system_clock::time_point timestamp;
    /// The source's folder grant; on Linux the source path itself (absent when none was made).
    std::optional<std::string> bookmark;

    friend bool operator==(const RecentJob&, const RecentJob&) = default;
};

/// The list as stored under "Kelvane.recents": a JSON array of objects with the keys id,
/// sourcePath, sourceFormatRaw, targetFormatRaw, timestamp (seconds since 2001-01-01 UTC) and
/// bookmark (base64).
std::string encodeRecents(const std::vector<RecentJob>& recents);
/// The list back; anything undecodable gives an empty list.
std::vector<RecentJob> decodeRecents(std::string_view text);

enum class AppearanceMode { dark, light };
/// "Dark", "Light".
std::string_view rawValue(AppearanceMode mode);
std::optional<AppearanceMode> appearanceModeFromRaw(std::string_view raw);

enum class ColorScheme { dark, light };

enum class AccentChoice {
    paper,
    silver,
    graphite,
    slate,
    blue,
    indigo,
    purple,
    pink,
    red,
    orange,
    green,
    teal,
    custom
};
/// Every accent in declaration order.
const std::vector<AccentChoice>& allAccentChoices();
/// "paper", "silver", … "custom".
std::string_view rawValue(AccentChoice accent);
std::optional<AccentChoice> accentChoiceFromRaw(std::string_view raw);

/// What a folder panel shows; the window answers it with a modal folder dialog.
struct FolderPanelRequest {
    std::string title;   ///< "Choose Output Folder" or "Choose Output Folder for This File"
    std::string message; ///< shown above the folder list
    std::string prompt;  ///< the accept button, "Choose Folder"
};

/// A small picture of a row's file (an image, or a video's first frame): RGBA, 8 bits per
/// channel, rows top to bottom, longer side at most `ThumbnailCache::kPixelSize`.
struct Thumbnail {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

} // namespace kv
