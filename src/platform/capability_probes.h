// Run-time probes of the image and audio encoders this machine has.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace kv::platform {

/// Image types with a working writer: any of "png", "jpeg", "tiff", "bmp", "gif", "heic",
/// "avif", "tga", "jp2", and always "ico", "icns", "psd" (written by our own code).
std::set<std::string> probeWritableImageTypes();

/// The four-character audio codes ('flac', 'aac ', 'alac', 'lpcm') for which a real file could be
/// opened for writing (encoder and muxer present and accepting 44.1 kHz stereo).
std::vector<std::uint32_t> probeAudioWriters();

} // namespace kv::platform
