// Run-time probe of the audio encoders this machine has.
#pragma once

#include <cstdint>
#include <vector>

namespace kv::av {

/// The four-character audio codes ('flac', 'aac ', 'alac', 'lpcm') for which a real file could be
/// opened for writing (encoder and muxer present and accepting 44.1 kHz stereo).
std::vector<std::uint32_t> probeAudioWriters();

} // namespace kv::av
