// Output validation: the dispatch by target and the checks that need no codec library.
#include "validate/validator.h"

#include "base/ascii_case.h"
#include "base/text_file.h"
#include "document/richtext/docx_reader.h"
#include "document/richtext/rtf_reader.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <vector>

namespace kv::Validator {
namespace {

using F = SupportedFormat;

constexpr std::array<std::uint8_t, 4> kZipMagic{0x50, 0x4B, 0x03, 0x04};
constexpr std::array<std::uint8_t, 2> kGzipMagic{0x1F, 0x8B};
constexpr std::array<std::uint8_t, 6> kXzMagic{0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00};
constexpr std::array<std::uint8_t, 3> kBzip2Magic{0x42, 0x5A, 0x68};

std::string hexList(std::span<const std::uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            text += ' ';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0F];
    }
    return text;
}

} // namespace

ValidationStatus validate(const std::filesystem::path& output, SupportedFormat target) {
    switch (target) {
    case F::png:
    case F::jpeg:
    case F::jpg:
    case F::tiff:
    case F::bmp:
    case F::gif:
    case F::heic:
    case F::heif:
    case F::webp:
    case F::ico:
    case F::avif:
    case F::psd:
    case F::tga:
    case F::jp2:
    case F::icns: return validateImage(output);
    case F::svg: return validateSVG(output);
    case F::pdf: return validatePDF(output, 1, PDFBackgroundRequirement::light);
    case F::pdf_image: return validatePDF(output, 1, PDFBackgroundRequirement::opaque);
    case F::mp4:
    case F::mov:
    case F::m4v: return validateAVAsset(output, MediaType::video);
    case F::mp3:
    case F::aac:
    case F::m4a:
    case F::wav:
    case F::aiff:
    case F::alac:
    case F::flac:
    case F::extractAudio: return validateAVAsset(output, MediaType::audio);
    case F::txt:
    case F::markdown: return validateText(output);
    case F::html: return validateHTML(output);
    case F::rtf: return validateRTF(output);
    case F::docx: {
        auto status = validateMagicBytes(output, kZipMagic, "DOCX (ZIP magic)");
        return status.isFailed() ? status : validateDOCX(output);
    }
    case F::epub: return validateMagicBytes(output, kZipMagic, "EPUB (ZIP magic)");
    case F::zip: return validateMagicBytes(output, kZipMagic, "ZIP magic");
    case F::gzip: return validateMagicBytes(output, kGzipMagic, "GZIP magic");
    case F::xz: return validateMagicBytes(output, kXzMagic, "XZ magic");
    case F::bz2: return validateMagicBytes(output, kBzip2Magic, "BZIP2 magic");
    case F::tar: return validateTAR(output);
    case F::ttf:
    case F::otf:
    case F::woff:
    case F::woff2: return validateFont(output, target);
    case F::csv: return validateDelimited(output, ',');
    case F::tsv: return validateDelimited(output, '\t');
    case F::json: return validateJSON(output);
    case F::srt:
    case F::vtt: return validateSubtitles(output, target);
    case F::pdfPagePng:
    case F::pdfPageJpeg:
    case F::pdfSplit: return validateFolderOutput(target, output);
    case F::jxl:
    case F::raw:
    case F::avi:
    case F::webm: return ValidationStatus::passed();
    }
    return ValidationStatus::skipped();
}

ValidationStatus validateMagicBytes(const std::filesystem::path& file,
                                    std::span<const std::uint8_t> magic, std::string_view label) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return ValidationStatus::failed("Could not open file for reading");
    std::vector<std::uint8_t> head(magic.size());
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got < magic.size()) {
        return ValidationStatus::failed(std::string(label) + ": file shorter than " +
                                        std::to_string(magic.size()) + " bytes");
    }
    if (!std::equal(head.begin(), head.end(), magic.begin())) {
        return ValidationStatus::failed(std::string(label) + ": got [" + hexList(head) +
                                        "], want [" + hexList(magic) + "]");
    }
    return ValidationStatus::passed();
}

ValidationStatus validateTAR(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return ValidationStatus::failed("Could not open TAR for reading");
    std::array<char, 512> block{};
    in.read(block.data(), block.size());
    if (in.gcount() != 512)
        return ValidationStatus::failed("TAR shorter than one 512-byte block");
    if (std::all_of(block.begin(), block.end(), [](char c) { return c == 0; })) {
        return ValidationStatus::failed("TAR first block is all zeros (empty)");
    }
    if (std::string_view(block.data() + 257, 5) == "ustar")
        return ValidationStatus::passed();
    if (std::all_of(block.begin(), block.begin() + 100, [](char c) { return c == 0; })) {
        return ValidationStatus::failed("Pre-POSIX TAR header has empty filename");
    }
    return ValidationStatus::passed();
}

ValidationStatus validateSVG(const std::filesystem::path& file) {
    const auto text = readUtf8File(file);
    if (!text)
        return ValidationStatus::failed("SVG not readable as UTF-8");
    if (lowerASCII(*text).find("<svg") != std::string::npos)
        return ValidationStatus::passed();
    return ValidationStatus::failed("SVG missing <svg> root element");
}

ValidationStatus validateText(const std::filesystem::path& file) {
    const auto text = readUtf8File(file);
    if (!text)
        return ValidationStatus::failed("File not readable as UTF-8");
    if (text->empty())
        return ValidationStatus::failed("Text file is empty");
    return ValidationStatus::passed();
}

ValidationStatus validateHTML(const std::filesystem::path& file) {
    const auto text = readUtf8File(file);
    if (!text)
        return ValidationStatus::failed("HTML not readable as UTF-8");
    if (text->empty())
        return ValidationStatus::failed("HTML is empty");
    const auto lower = lowerASCII(*text);
    for (const char* marker : {"<html", "<body", "<!doctype"})
        if (lower.find(marker) != std::string::npos)
            return ValidationStatus::passed();
    return ValidationStatus::failed("HTML lacks <html>/<body>/<!doctype>");
}

ValidationStatus validateFolderOutput(SupportedFormat target, const std::filesystem::path& folder) {
    std::error_code error;
    if (!std::filesystem::exists(folder, error))
        return ValidationStatus::failed("Output folder doesn't exist");
    if (!std::filesystem::is_directory(folder, error))
        return ValidationStatus::failed("Output path is not a folder");
    std::vector<std::filesystem::path> entries;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        entries.push_back(it->path());
    }
    if (entries.empty())
        return ValidationStatus::failed("Output folder is empty");
    std::string wanted;
    if (target == F::pdfPagePng)
        wanted = "png";
    else if (target == F::pdfPageJpeg)
        wanted = "jpg";
    else if (target == F::pdfSplit)
        wanted = "pdf";
    else
        return ValidationStatus::passed();
    std::vector<std::filesystem::path> kept;
    for (const auto& entry : entries) {
        auto ext = entry.extension().string();
        if (!ext.empty())
            ext.erase(0, 1);
        if (lowerASCII(ext) == wanted)
            kept.push_back(entry);
    }
    if (kept.empty())
        return ValidationStatus::failed("Folder has no ." + wanted + " files");
    std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
        return a.filename().string() < b.filename().string();
    });
    // Split pages are the source's own, copied as they are: a dark slide is content, so the
    // page only has to be drawn.
    if (target == F::pdfSplit)
        return validatePDF(kept.front(), 1, PDFBackgroundRequirement::opaque);
    return validateImage(kept.front());
}

ValidationStatus validateRTF(const std::filesystem::path& file) {
    const auto bytes = readWholeFile(file);
    if (!bytes)
        return ValidationStatus::failed("RTF not readable");
    std::string head = bytes->substr(0, 6);
    if (std::any_of(head.begin(), head.end(), [](unsigned char c) { return c > 0x7F; }))
        head.clear();
    if (head.rfind("{\\rtf", 0) != 0)
        return ValidationStatus::failed("RTF header missing \u2014 got '" + head + "'");
    try {
        (void)richtext::readRTF(*bytes);
    } catch (const std::exception&) {
        return ValidationStatus::failed("RTF could not be parsed by NSAttributedString");
    }
    return ValidationStatus::passed();
}

ValidationStatus validateDOCX(const std::filesystem::path& file) {
    const auto bytes = readWholeFile(file);
    if (!bytes)
        return ValidationStatus::failed("DOCX not readable");
    try {
        (void)richtext::readDOCX(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()));
    } catch (const std::exception&) {
        return ValidationStatus::failed("DOCX could not be parsed by NSAttributedString");
    }
    return ValidationStatus::passed();
}

} // namespace kv::Validator
