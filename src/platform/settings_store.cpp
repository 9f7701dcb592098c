// The user's preferences: a JSON key-value file shared by the window and the headless entries.
#include "platform/settings_store.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/file.h>
#include <system_error>
#include <unistd.h>

namespace kv {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::mutex g_sinkLock;
std::function<void(const std::string&)> g_sink;

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Holds an exclusive advisory lock beside the file, so two processes never interleave their
// read-modify-write.
class FileLock {
  public:
    explicit FileLock(const fs::path& file) {
        const auto lockPath = fs::path(file).concat(".lock");
        m_fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd >= 0)
            ::flock(m_fd, LOCK_EX);
    }
    ~FileLock() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

  private:
    int m_fd = -1;
};

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("write settings");
        }
        done += static_cast<std::size_t>(n);
    }
}

// Temporary file in the same folder, flushed to disk, then renamed over the old one: a reader
// sees the old or the new file, never half of one.
void writeAtomically(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::random_device random;
    const auto temporary = fs::path(file).concat(".tmp-" + std::to_string(random()));
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throwErrno("create settings");
    try {
        writeAll(fd, text);
        if (::fsync(fd) != 0)
            throwErrno("sync settings");
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    ::close(fd);
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temporary.c_str());
        throw std::system_error(saved, std::generic_category(), "replace settings");
    }
}

} // namespace

fs::path SettingsStore::defaultLocation() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && *config == '/')
        return fs::path(config) / "kelvane" / "settings.json";
    const char* home = std::getenv("HOME");
    return fs::path(home != nullptr ? home : "/tmp") / ".config" / "kelvane" / "settings.json";
}

SettingsStore& SettingsStore::shared() {
    static SettingsStore store(defaultLocation());
    return store;
}

SettingsStore::SettingsStore(fs::path file) : m_file(std::move(file)) {}

void SettingsStore::setWarningSink(std::function<void(const std::string&)> sink) {
    std::lock_guard guard(g_sinkLock);
    g_sink = std::move(sink);
}

void SettingsStore::warn(const std::string& text) const {
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard guard(g_sinkLock);
        sink = g_sink;
    }
    if (sink)
        sink(text);
    else
        std::fprintf(stderr, "%s\n", text.c_str());
}

json SettingsStore::load() const {
    std::ifstream in(m_file, std::ios::binary);
    if (!in)
        return json::object();
    std::ostringstream text;
    text << in.rdbuf();
    json parsed = json::parse(text.str(), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        warn("Settings file " + m_file.string() + " is not a JSON object; using defaults");
        return json::object();
    }
    return parsed;
}

std::optional<json> SettingsStore::value(std::string_view key) const {
    std::lock_guard guard(m_lock);
    const json all = load();
    const auto found = all.find(std::string(key));
    if (found == all.end())
        return std::nullopt;
    return *found;
}

void SettingsStore::update(std::string_view key, std::optional<json> newValue) {
    std::lock_guard guard(m_lock);
    fs::create_directories(m_file.parent_path());
    FileLock fileLock(m_file);
    json all = load();
    if (newValue)
        all[std::string(key)] = std::move(*newValue);
    else
        all.erase(std::string(key));
    writeAtomically(m_file, all.dump(2) + "\n");
}

namespace {

template <typename T, typename Check>
std::optional<T> typed(const std::optional<json>& found, Check isRightType, std::string_view key,
                       const std::function<void(const std::string&)>& warn) {
    if (!found)
        return std::nullopt;
    if (!isRightType(*found)) {
        warn("Setting " + std::string(key) + " has an unexpected value; using the default");
        return std::nullopt;
    }
    return found->get<T>();
}

} // namespace

std::optional<bool> SettingsStore::boolValue(std::string_view key) const {
    return typed<bool>(
        value(key), [](const json& v) { return v.is_boolean(); }, key,
        [this](const std::string& t) { warn(t); });
}

std::optional<std::int64_t> SettingsStore::intValue(std::string_view key) const {
    return typed<std::int64_t>(
        value(key), [](const json& v) { return v.is_number_integer(); }, key,
        [this](const std::string& t) { warn(t); });
}

std::optional<double> SettingsStore::doubleValue(std::string_view key) const {
    return typed<double>(
        value(key), [](const json& v) { return v.is_number(); }, key,
        [this](const std::string& t) { warn(t); });
}

std::optional<std::string> SettingsStore::stringValue(std::string_view key) const {
    return typed<std::string>(
        value(key), [](const json& v) { return v.is_string(); }, key,
        [this](const std::string& t) { warn(t); });
}

std::optional<std::vector<std::string>> SettingsStore::stringList(std::string_view key) const {
    const auto isList = [](const json& v) {
        if (!v.is_array())
            return false;
        for (const auto& item : v)
            if (!item.is_string())
                return false;
        return true;
    };
    return typed<std::vector<std::string>>(value(key), isList, key,
                                           [this](const std::string& t) { warn(t); });
}

std::optional<std::map<std::string, std::string>>
SettingsStore::stringMap(std::string_view key) const {
    const auto isMap = [](const json& v) {
        if (!v.is_object())
            return false;
        for (const auto& item : v.items())
            if (!item.value().is_string())
                return false;
        return true;
    };
    return typed<std::map<std::string, std::string>>(value(key), isMap, key,
                                                     [this](const std::string& t) { warn(t); });
}

void SettingsStore::set(std::string_view key, bool v) {
    update(key, json(v));
}
void SettingsStore::set(std::string_view key, std::int64_t v) {
    update(key, json(v));
}
void SettingsStore::set(std::string_view key, double v) {
    update(key, json(v));
}
void SettingsStore::set(std::string_view key, const std::string& v) {
    update(key, json(v));
}
void SettingsStore::set(std::string_view key, const std::vector<std::string>& v) {
    update(key, json(v));
}
void SettingsStore::set(std::string_view key, const std::map<std::string, std::string>& v) {
    update(key, json(v));
}
void SettingsStore::remove(std::string_view key) {
    update(key, std::nullopt);
}

void SettingsStore::setValues(const std::map<std::string, json>& values) {
    std::lock_guard guard(m_lock);
    fs::create_directories(m_file.parent_path());
    FileLock fileLock(m_file);
    json all = load();
    for (const auto& [key, newValue] : values) {
        if (newValue.is_null())
            all.erase(key);
        else
            all[key] = newValue;
    }
    writeAtomically(m_file, all.dump(2) + "\n");
}

} // namespace kv
