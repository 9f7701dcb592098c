// libvips is started once, on the first image operation, never at process start.
#pragma once

namespace kv::platform {

/// Starts libvips if it is not running yet; throws PlatformError when it cannot start.
void ensureVipsStarted();

} // namespace kv::platform
