// The only source of output names.
#include "engine/output_name_registry.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace kv {

std::string normalisedPathKey(const std::string& path) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(path);
    if (U_SUCCESS(status)) {
        icu::UnicodeString composed = nfc->normalize(text, status);
        if (U_SUCCESS(status))
            text = composed;
    }
    text.toLower(icu::Locale::getRoot());
    std::string key;
    text.toUTF8String(key);
    return key;
}

OutputNameRegistry& OutputNameRegistry::shared() {
    static OutputNameRegistry registry;
    return registry;
}

std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes)
        return text;
    std::size_t end = maxBytes;
    // Back off continuation bytes (10xxxxxx) so that the cut falls before a lead byte.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

std::filesystem::path OutputNameRegistry::reserve(const std::filesystem::path& dir,
                                                  std::string_view baseName, std::string_view ext) {
    // The longest file name Linux file systems take, in bytes.
    constexpr std::size_t kMaxNameBytes = 255;
    const std::string suffix = ext.empty() ? std::string() : "." + std::string(ext);
    const std::lock_guard lock(m_lock);
    for (unsigned long long n = 0;; ++n) {
        const std::string number = n > 0 ? " (" + std::to_string(n) + ")" : std::string();
        const std::size_t room =
            kMaxNameBytes - std::min(kMaxNameBytes, number.size() + suffix.size());
        std::string name(utf8Prefix(baseName, room));
        name += number;
        name += suffix;
        const std::filesystem::path candidate = dir / name;
        const std::string key = normalisedPathKey(candidate.string());
        if (m_reserved.count(key) != 0)
            continue;
        // symlink_status: a dangling link still occupies the name.
        std::error_code error;
        const auto status = std::filesystem::symlink_status(candidate, error);
        if (std::filesystem::exists(status) ||
            (error && error != std::errc::no_such_file_or_directory))
            continue;
        m_reserved.insert(key);
        m_requests[key] = Request{dir, std::string(baseName), std::string(ext)};
        return candidate;
    }
}

std::filesystem::path OutputNameRegistry::reserveAnother(const std::filesystem::path& taken) {
    Request request{taken.parent_path(), baseNameOf(taken), ""};
    const std::string name = taken.filename().string();
    if (request.baseName.size() < name.size())
        request.ext = name.substr(request.baseName.size() + 1);
    {
        const std::lock_guard lock(m_lock);
        const auto found = m_requests.find(normalisedPathKey(taken.string()));
        if (found != m_requests.end())
            request = found->second;
    }
    return reserve(request.dir, request.baseName, request.ext);
}

namespace {

std::filesystem::path homeFolder() {
    const char* home = std::getenv("HOME");
    return home != nullptr && *home != '\0' ? std::filesystem::path(home) : std::filesystem::path();
}

// XDG_DOCUMENTS_DIR from user-dirs.dirs ("$HOME/Documents" style values).
std::filesystem::path xdgDocumentsFolder() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const std::filesystem::path config = configHome != nullptr && *configHome != '\0'
                                             ? std::filesystem::path(configHome)
                                             : homeFolder() / ".config";
    std::ifstream in(config / "user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = "XDG_DOCUMENTS_DIR=";
        if (line.rfind(key, 0) != 0)
            continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0)
            value = homeFolder().string() + value.substr(5);
        if (!value.empty() && value.front() == '/')
            return value;
    }
    const auto fallback = homeFolder() / "Documents";
    std::error_code error;
    if (!homeFolder().empty() && std::filesystem::is_directory(fallback, error))
        return fallback;
    return {};
}

std::filesystem::path dataHome() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && *data == '/')
        return data;
    if (!homeFolder().empty())
        return homeFolder() / ".local" / "share";
    return {};
}

} // namespace

std::filesystem::path defaultOutputDirectory() {
    std::filesystem::path base = xdgDocumentsFolder();
    if (base.empty())
        base = dataHome();
    if (base.empty())
        base = std::filesystem::temp_directory_path();
    const auto folder = base / "Kelvane";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder;
}

std::string baseNameOf(const std::filesystem::path& source) {
    const std::string name = source.filename().string();
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return name;
    return name.substr(0, dot);
}

} // namespace kv
