// PDFs made for tests with cairo: pages of text, and a page holding only a picture.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kv::test {

/// One Letter page per string, the string drawn as a line of text (a text layer poppler reads).
void writeTextPDF(const std::filesystem::path& file, const std::vector<std::string>& pages);
/// A page with a filled shape and no text at all, as a scanned page has.
void writeImageOnlyPDF(const std::filesystem::path& file);

} // namespace kv::test
