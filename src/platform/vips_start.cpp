// libvips is started once, on the first image operation.
#include "platform/vips_start.h"

#include "platform/platform_error.h"

#include <vips/vips8>

#include <mutex>

namespace kv::platform {

void ensureVipsStarted() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] { started = VIPS_INIT("kelvane") == 0; });
    if (!started) throw PlatformError(std::string("libvips could not start: ") + vips_error_buffer());
}

}  // namespace kv::platform
