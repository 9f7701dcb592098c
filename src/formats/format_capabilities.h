// Which formats this machine can actually write, probed once at first use.
#pragma once

#include "formats/supported_format.h"

#include <cstdint>

namespace kv::FormatCapabilities {

/// Whether the platform can write `format` at all (image encoders, FLAC, the bzip2 library).
bool canProduce(SupportedFormat format);

/// Whether an audio file of the four-character code ('flac', 'aac ', 'alac', 'lpcm') can be
/// written.
bool canEncodeAudio(std::uint32_t code);

/// Four-character code as a number: fourCC("flac").
constexpr std::uint32_t fourCC(const char (&c)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(c[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(c[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(c[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(c[3]));
}

} // namespace kv::FormatCapabilities
