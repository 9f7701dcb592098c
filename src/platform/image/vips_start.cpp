// libvips is started once, on the first image operation.
#include "platform/image/vips_start.h"

#include "platform/platform_error.h"

#include <mutex>
#include <vips/vips8>

namespace kv::platform {

namespace {

// vips warns on stderr about things it handles itself ("ignoring nclx profile" for every HEIF we
// check); our failures come through its error buffer, so the warnings are dropped.
void dropWarning(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

} // namespace

void ensureVipsStarted() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        started = VIPS_INIT("kelvane") == 0;
        // vips would hand back a cached decode of a path whose file has since been replaced (a
        // long-lived desktop process converts the same name again after an edit): operations
        // that hold files are never kept.
        vips_cache_set_max_files(0);
        g_log_set_handler("VIPS",
                          static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE),
                          dropWarning, nullptr);
    });
    if (!started)
        throw PlatformError(std::string("libvips could not start: ") + vips_error_buffer());
}

} // namespace kv::platform
