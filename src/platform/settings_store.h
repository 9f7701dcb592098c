// The user's preferences: a JSON key-value file shared by the window and the headless entries.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

/// Keys are "Kelvane." + name. Every read sees the file as it is now, every write replaces it
/// atomically (temporary file, fsync, rename), so several processes may share it. A value of the
/// wrong type, or a file that is not a JSON object, reads as absent and logs one warning line.
class SettingsStore {
  public:
    /// $XDG_CONFIG_HOME/kelvane/settings.json (else ~/.config/kelvane/settings.json).
    static std::filesystem::path defaultLocation();
    /// The store at the default location.
    static SettingsStore& shared();

    explicit SettingsStore(std::filesystem::path file);

    const std::filesystem::path& file() const { return m_file; }

    std::optional<bool> boolValue(std::string_view key) const;
    std::optional<std::int64_t> intValue(std::string_view key) const;
    std::optional<double> doubleValue(std::string_view key) const;
    std::optional<std::string> stringValue(std::string_view key) const;
    std::optional<std::vector<std::string>> stringList(std::string_view key) const;
    std::optional<std::map<std::string, std::string>> stringMap(std::string_view key) const;

    /// Write one key; throws std::system_error when the file cannot be written.
    void set(std::string_view key, bool value);
    void set(std::string_view key, std::int64_t value);
    void set(std::string_view key, double value);
    void set(std::string_view key, const std::string& value);
    void set(std::string_view key, const char* value) { set(key, std::string(value)); }
    void set(std::string_view key, const std::vector<std::string>& value);
    void set(std::string_view key, const std::map<std::string, std::string>& value);
    void remove(std::string_view key);
    /// Writes several keys in one atomic replacement of the file (a null value removes its key).
    void setValues(const std::map<std::string, nlohmann::json>& values);

    /// Where warnings about unreadable values go; stderr until set.
    static void setWarningSink(std::function<void(const std::string&)> sink);

  private:
    nlohmann::json load() const;
    std::optional<nlohmann::json> value(std::string_view key) const;
    void update(std::string_view key, std::optional<nlohmann::json> value);
    void warn(const std::string& text) const;

    std::filesystem::path m_file;
    mutable std::mutex m_lock;
};

} // namespace kv
