// The system's font configuration, made fontconfig's current one before pango looks a font up.
#pragma once

struct _FcConfig;

namespace kv::platform {

/// Loads the configuration as fontconfig's own start-up does (fonts.conf or $FONTCONFIG_FILE,
/// everything it includes, the font caches) and installs it, once per process. Fontconfig's
/// start-up also parses every rule template beside conf.d (~60 files here) only to list their
/// descriptions; nothing is matched through them, and skipping them saves a quarter of its time.
/// Leaves the start-up to fontconfig when it may already be in use (it was loaded before the code
/// calling this), when FC_DEBUG asks for its reports, or when the configuration cannot be loaded.
void useSystemFontConfig();

/// The configuration `useSystemFontConfig` installs, fonts built; the caller owns it. Null when
/// fontconfig's start-up would not take it as it is (unreadable, or naming no cache folder).
_FcConfig* loadSystemFontConfig();

} // namespace kv::platform
