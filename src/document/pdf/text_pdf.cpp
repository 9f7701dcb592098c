// Rich text on Letter pages: each paragraph handed to the text-page door in its runs' fonts, each
// page written as soon as it is full.
#include "document/pdf/pdf_conversions.h"
#include "document/richtext/paragraphs.h"
#include "engine/conversion_error.h"
#include "engine/output_file.h"
#include "platform/pdf/font_config.h"
#include "platform/pdf/text_pages.h"
#include "platform/platform_error.h"

#include <vector>

namespace kv::DocumentConverter {
namespace {

constexpr double kPageWidth = 612; // US Letter, points
constexpr double kPageHeight = 792;
constexpr double kMargin = 72;
constexpr int kMaxPages = 10'000;
constexpr std::string_view kTooLong =
    "This document is too long to convert to PDF (over 10,000 pages).";
// What output validation would say of the page-less file that a text without lines makes.
constexpr std::string_view kNoPages = "The converted file didn't come out valid (PDF has 0 pages, "
                                      "expected \u2265 1). The original is untouched.";
constexpr double kParagraphSpacing = 0.75; // of the next paragraph's font size
constexpr std::string_view kBodyFamily = "Serif";
constexpr std::string_view kMonospaceFamily = "Monospace";

platform::TextFont fontFor(const richtext::TextAttributes& attributes) {
    return {.family = attributes.monospace        ? std::string(kMonospaceFamily)
                      : attributes.family.empty() ? std::string(kBodyFamily)
                                                  : attributes.family,
            .pointSize = attributes.pointSize,
            .bold = attributes.bold,
            .italic = attributes.italic};
}

// Walks the paragraphs in order, so the runs are read once from first to last.
class ParagraphFeeder {
  public:
    ParagraphFeeder(const richtext::RichText& text, platform::TextPages& pages)
        : m_text(text), m_pages(pages) {}

    void paragraph(std::size_t start, std::size_t length) {
        const auto& runs = m_text.runs();
        while (m_run < runs.size() && runs[m_run].end() < start)
            ++m_run;
        std::size_t begin = m_run;
        while (begin < runs.size() && runs[begin].end() <= start && length > 0)
            ++begin;
        std::size_t end = begin;
        while (end < runs.size() && runs[end].start < start + length)
            ++end;
        // The paragraph's own font sets the height of an empty line: the run it touches.
        static const richtext::TextAttributes kBody;
        const richtext::TextAttributes& font =
            begin < runs.size() && runs[begin].start <= start ? runs[begin].attributes : kBody;
        bool monospace = font.monospace;
        bool oneFont = end - begin <= 1;
        for (std::size_t i = begin; i < end; ++i) {
            monospace = monospace && runs[i].attributes.monospace;
            oneFont = oneFont && runs[i].attributes.link.empty();
        }
        m_spans.clear();
        if (!oneFont) {
            for (std::size_t i = begin; i < end; ++i) {
                const auto& run = runs[i];
                m_spans.push_back({.from = std::max(run.start, start) - start,
                                   .to = std::min(run.end(), start + length) - start,
                                   .font = fontFor(run.attributes),
                                   .link = !run.attributes.link.empty()});
            }
        }
        // Space between paragraphs, but not between the lines of plain text or a code block.
        const bool spaced = m_paragraphs > 0 && !(monospace && m_lastMonospace);
        const std::string_view plain = std::string_view(m_text.string()).substr(start, length);
        if (!m_pages.paragraph(plain, fontFor(font), m_spans,
                               spaced ? font.pointSize * kParagraphSpacing : 0))
            throw ConversionError::corruptFile(kTooLong);
        m_lastMonospace = monospace;
        ++m_paragraphs;
    }

  private:
    const richtext::RichText& m_text;
    platform::TextPages& m_pages;
    std::vector<platform::TextSpan> m_spans;
    std::size_t m_run = 0;
    std::size_t m_paragraphs = 0;
    bool m_lastMonospace = false;
};

} // namespace

void richTextToPDF(const richtext::RichText& text, const std::filesystem::path& output) {
    platform::useSystemFontConfig();
    PendingOutput pending(output);
    try {
        platform::TextPages pages(pending.path(), kPageWidth, kPageHeight, kMargin, kMaxPages);
        ParagraphFeeder feeder(text, pages);
        richtext::forEachParagraph(
            text, [&](std::size_t start, std::size_t length) { feeder.paragraph(start, length); });
        if (pages.finish() == 0)
            throw ConversionError::corruptFile(kNoPages);
    } catch (const PlatformError&) {
        throw ConversionError::failedToCreateOutput();
    }
    pending.commit();
}

} // namespace kv::DocumentConverter
