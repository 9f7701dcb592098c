// SRT reading: never crashes, and every cue it yields writes well-formed timestamps.
#include "data/srt.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace kv::DataConverter;

namespace {

// hh…:mm:ss,ttt with at least two hour digits.
bool wellFormed(const std::string& s) {
    const std::size_t n = s.size();
    if (n < 12)
        return false;
    const auto digits = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            if (s[i] < '0' || s[i] > '9')
                return false;
        return true;
    };
    return digits(0, n - 10) && s[n - 10] == ':' && digits(n - 9, n - 7) && s[n - 7] == ':' &&
           digits(n - 6, n - 4) && s[n - 4] == ',' && digits(n - 3, n) && s[n - 9] <= '5' &&
           s[n - 6] <= '5';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    SubtitleReadReport report;
    const auto cues = parseSRT(text, &report);
    for (const Cue& cue : cues) {
        if (cue.text.empty())
            std::abort();
        if (!wellFormed(stamp(cue.start, true)) || !wellFormed(stamp(cue.end, true)))
            std::abort();
    }
    (void)writeSRT(cues);
    return 0;
}
