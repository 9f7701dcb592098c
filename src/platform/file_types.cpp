// A file's content type and type conformance, from GIO's shared-mime-info database.
#include "platform/file_types.h"

#include "platform/c_handle.h"

#include <array>
#include <fcntl.h>
#include <gio/gio.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kv::platform {
namespace {

using GString = CHandle<gchar, &g_free>;

constexpr std::size_t kSniffBytes = 4096;

} // namespace

std::optional<std::string> contentTypeOf(const std::filesystem::path& file) {
    std::array<unsigned char, kSniffBytes> head{};
    std::size_t got = 0;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        const ssize_t n = ::read(fd, head.data(), head.size());
        if (n > 0)
            got = static_cast<std::size_t>(n);
    }
    ::close(fd);
    gboolean uncertain = FALSE;
    GString type(g_content_type_guess(file.filename().c_str(), head.data(), got, &uncertain));
    if (!type || g_content_type_is_unknown(type.get()))
        return std::nullopt;
    return std::string(type.get());
}

bool contentTypeIsA(std::string_view type, std::string_view ancestor) {
    return g_content_type_is_a(std::string(type).c_str(), std::string(ancestor).c_str()) != FALSE;
}

bool contentTypeIsKnown(std::string_view type) {
    GList* known = g_content_types_get_registered();
    bool found = false;
    for (GList* item = known; item != nullptr; item = item->next) {
        if (type == static_cast<const char*>(item->data))
            found = true;
    }
    g_list_free_full(known, g_free);
    return found;
}

} // namespace kv::platform
