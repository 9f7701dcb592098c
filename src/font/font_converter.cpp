// Converts fonts between TrueType/OpenType, WOFF and WOFF2.
#include "font/font_converter.h"

#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "engine/output_file.h"
#include "engine/output_name_registry.h"
#include "engine/source_file.h"
#include "font/font_limits.h"
#include "font/woff.h"
#include "font/woff2_container.h"

#include <string>

namespace kv::FontConverter {
namespace {

constexpr std::string_view kCategory = "Font";

ConversionError unsupported(SupportedFormat from, SupportedFormat to) {
    return ConversionError::unsupportedConversion(displayName(from), displayName(to));
}

SFNT decodeFont(ByteView data, SupportedFormat format) {
    switch (format) {
    case SupportedFormat::woff: return decodeWOFF(data);
    case SupportedFormat::woff2: return decodeWOFF2(data);
    default: return SFNT(data); // ttf and otf: the same container
    }
}

} // namespace

std::filesystem::path convert(const ConvertRequest& request) {
    const auto from = request.sourceFormat, to = request.target;
    auto& log = ConversionLogger::shared();
    log.info(std::string(displayName(from)) + " \u2192 " + std::string(displayName(to)), kCategory);

    const auto isFont = [](SupportedFormat f) {
        return f == SupportedFormat::ttf || f == SupportedFormat::otf ||
               f == SupportedFormat::woff || f == SupportedFormat::woff2;
    };
    if (!isFont(from) || !isFont(to))
        throw unsupported(from, to);

    // Whole-buffer codecs: refuse a source that could only decode past the size limit.
    checkSourceFile(request.source);
    if (static_cast<std::uint64_t>(sourceFileSize(request.source)) > kMaxFontBytes) {
        throw ConversionError::corruptFile(kFontTooLargeMessage);
    }
    const auto source = readSourceBytes(request.source);
    const auto destination = OutputNameRegistry::shared().reserve(
        request.outputDir, baseNameOf(request.source), fileExtension(to));

    auto sfnt = decodeFont(source, from);
    if (sfnt.matchVersionToOutlines()) {
        log.warning(std::string("The font's header named the wrong outline format; written as ") +
                        (sfnt.sfntVersion == kCFFVersion ? "OpenType/CFF" : "TrueType") +
                        " so that font engines load it",
                    kCategory);
    }
    // Rebuilt tables and a moved directory change the sums: every output carries fresh ones.
    sfnt.updateChecksums();
    Bytes encoded;
    switch (to) {
    case SupportedFormat::woff: encoded = encodeWOFF(sfnt); break;
    case SupportedFormat::woff2: encoded = encodeWOFF2(sfnt); break;
    default: encoded = sfnt.sfntData(); break;
    }
    const auto written = writeOutputFile(destination, encoded);
    log.success("Font: " + std::to_string(sfnt.tables.size()) + " tables, " +
                    (sfnt.sfntVersion == kCFFVersion ? "OTF/CFF" : "TrueType"),
                kCategory, written.filename().string());
    return written;
}

} // namespace kv::FontConverter
