// One file a user wants converted, and its lifecycle state.
#include "engine/job.h"

#include "base/size_text.h"

#include <cmath>
#include <cstdlib>

namespace kv {

std::string_view rawValue(ConversionStatus status) {
    switch (status) {
    case ConversionStatus::pending: return "Pending";
    case ConversionStatus::converting: return "Converting";
    case ConversionStatus::completed: return "Completed";
    case ConversionStatus::failed: return "Failed";
    }
    return "Pending";
}

std::optional<std::string> ConversionJob::sizeDeltaFormatted() const {
    if (!outputSize || fileSize < 1)
        return std::nullopt;
    std::string text = formatByteCount(fileSize) + " \u2192 " + formatByteCount(*outputSize);
    const double change =
        std::fabs(static_cast<double>(*outputSize - fileSize)) / static_cast<double>(fileSize);
    const long long percent = std::llround(change * 100.0);
    if (percent >= 1) {
        text += (*outputSize < fileSize ? " \u00B7 \u2212" : " \u00B7 +") +
                std::to_string(percent) + "%";
    }
    return text;
}

} // namespace kv
