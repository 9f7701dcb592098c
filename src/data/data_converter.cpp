// Converts tables (CSV, TSV, JSON) and subtitles (SRT, WebVTT).
#include "data/data_converter.h"

#include "data/delimited.h"
#include "data/json_table.h"
#include "data/srt.h"
#include "data/table_writers.h"
#include "data/text_decoding.h"
#include "data/text_output.h"
#include "data/webvtt.h"
#include "document/pdf/pdf_conversions.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "engine/output_file.h"
#include "engine/output_name_registry.h"

#include <string>

namespace kv::DataConverter {
namespace {

using F = SupportedFormat;
constexpr std::string_view kCategory = "Data";

[[noreturn]] void unsupported(const ConvertRequest& request) {
    throw ConversionError::unsupportedConversion(displayName(request.sourceFormat),
                                                 displayName(request.target));
}

std::filesystem::path convertSubtitles(const ConvertRequest& request, const std::string& text,
                                       const std::filesystem::path& destination) {
    const std::string fileName = request.source.filename().string();
    SubtitleReadReport report;
    const std::vector<Cue> cues =
        request.sourceFormat == F::srt ? parseSRT(text, &report) : parseVTT(text, &report);
    if (cues.empty())
        throw ConversionError::corruptFile("No subtitle cues found in " + fileName);
    if (report.skippedBlocks > 0) {
        ConversionLogger::shared().warning(
            "Skipped " + std::to_string(report.skippedBlocks) +
                " subtitle blocks without a readable timing line (first: block " +
                std::to_string(report.firstSkippedBlock) + ")",
            kCategory, fileName);
    }
    std::string output;
    if (request.target == F::txt) {
        for (std::size_t i = 0; i < cues.size(); ++i) {
            if (i > 0)
                output += "\n\n";
            output += cues[i].text;
        }
    } else if (request.target == F::srt) {
        output = writeSRT(cues);
    } else if (request.target == F::vtt) {
        output = writeVTT(cues);
    } else {
        unsupported(request);
    }
    const auto written = writeOutputFile(destination, output);
    ConversionLogger::shared().success("Wrote " + std::to_string(cues.size()) + " cues", kCategory,
                                       written.filename().string());
    return written;
}

void warnAboutSkips(const JSONReadReport& report, const std::string& fileName) {
    auto& log = ConversionLogger::shared();
    if (report.skippedLines > 0) {
        log.warning("Skipped " + std::to_string(report.skippedLines) +
                        " NDJSON lines that are not valid JSON (first: line " +
                        std::to_string(report.firstSkippedLine) + ")",
                    kCategory, fileName);
    }
    if (report.skippedItems > 0) {
        log.warning("Skipped " + std::to_string(report.skippedItems) +
                        " JSON items that do not fit the table's shape (first: item " +
                        std::to_string(report.firstSkippedItem) + ")",
                    kCategory, fileName);
    }
}

} // namespace

std::filesystem::path convert(const ConvertRequest& request) {
    const std::string fileName = request.source.filename().string();
    std::string text = readText(request.source);
    const std::string baseName = baseNameOf(request.source);
    const auto destination = OutputNameRegistry::shared().reserve(request.outputDir, baseName,
                                                                  fileExtension(request.target));

    Table table;
    switch (request.sourceFormat) {
    case F::csv: table = parseDelimited(std::move(text), ','); break;
    case F::tsv: table = parseDelimited(std::move(text), '\t'); break;
    case F::json: {
        JSONReadReport report;
        table = rowsFromJSON(text, &report);
        std::string().swap(text); // the cells own their bytes now
        warnAboutSkips(report, fileName);
        break;
    }
    case F::srt:
    case F::vtt: return convertSubtitles(request, text, destination);
    default: unsupported(request);
    }
    if (table.empty())
        throw ConversionError::corruptFile("No rows found in " + fileName);
    // The first row is the header (JSON takes its keys from it): without a row below it there is
    // nothing to write that would read back as a table.
    const bool headerOnlyFails =
        request.target == F::json || request.target == F::csv || request.target == F::tsv;
    if (headerOnlyFails && table.rowCount() == 1)
        throw ConversionError::corruptFile("No data rows below the header in " + fileName);
    if (request.stop.stop_requested())
        throw ConversionError::cancelled();

    const F target = request.target;
    if (target == F::pdf) {
        // The table as a page, drawn by the documents' HTML renderer (which loads no files).
        const std::string page = writeHTMLTable(table, baseName);
        const std::size_t rowCount = table.rowCount();
        table = Table();
        const auto written =
            DocumentConverter::renderHTMLToPDF(page, std::nullopt, destination, request.stop);
        ConversionLogger::shared().success("Wrote " + std::to_string(rowCount) + " rows", kCategory,
                                           written.filename().string());
        return written;
    }
    if (target != F::csv && target != F::tsv && target != F::json && target != F::html &&
        target != F::markdown) {
        unsupported(request);
    }
    PendingOutput pending(destination);
    {
        TextOutput out(pending.path());
        switch (target) {
        case F::csv: writeDelimited(table, ',', out); break;
        case F::tsv: writeDelimited(table, '\t', out); break;
        case F::json: writeJSON(table, out); break;
        case F::html: writeHTMLTable(table, baseName, out); break;
        default: writeMarkdownTable(table, out); break;
        }
        out.finish();
    }
    if (request.stop.stop_requested())
        throw ConversionError::cancelled();
    // The output is checked before it is published: the table goes first so that it and the
    // check's own reading of the output are never in memory at once.
    const std::size_t rowCount = table.rowCount();
    table = Table();
    const auto written = pending.commit();
    ConversionLogger::shared().success("Wrote " + std::to_string(rowCount) + " rows", kCategory,
                                       written.filename().string());
    return written;
}

} // namespace kv::DataConverter
