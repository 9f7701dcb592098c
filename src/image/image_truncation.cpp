// The tail check that refuses GIF, PNG and JPEG files cut off before their end.
#include "image/image_truncation.h"

#include <algorithm>
#include <array>
#include <fstream>

namespace kv::ImageConverter {

std::optional<std::string> truncationIssueOf(std::string_view name,
                                             std::span<const std::uint8_t> head,
                                             std::span<const std::uint8_t> tail) {
    if (head.size() < 8 || tail.empty())
        return std::nullopt;
    const auto startsWith = [&](std::initializer_list<std::uint8_t> magic) {
        return std::equal(magic.begin(), magic.end(), head.begin());
    };
    bool complete = true;
    if (startsWith({0x47, 0x49, 0x46, 0x38})) {
        complete = tail.back() == 0x3B;
    } else if (startsWith({0x89, 0x50, 0x4E, 0x47})) {
        // IEND is the last chunk's type, followed only by its 4-byte CRC.
        complete = tail.size() >= 8 &&
                   std::equal(tail.end() - 8, tail.end() - 4,
                              std::array<std::uint8_t, 4>{0x49, 0x45, 0x4E, 0x44}.begin());
    } else if (startsWith({0xFF, 0xD8, 0xFF})) {
        complete = tail.size() >= 2 && tail[tail.size() - 2] == 0xFF && tail.back() == 0xD9;
    }
    if (complete)
        return std::nullopt;
    return std::string(name) + " is truncated \u2014 the file is missing its ending, so only part "
                               "of the image is present.";
}

std::optional<std::string> truncationIssue(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 17)
        return std::nullopt;
    in.seekg(0);
    std::array<std::uint8_t, 8> head{};
    in.read(reinterpret_cast<char*>(head.data()), head.size());
    if (in.gcount() != 8)
        return std::nullopt;
    in.seekg(size - 12);
    std::array<std::uint8_t, 12> tail{};
    in.read(reinterpret_cast<char*>(tail.data()), tail.size());
    const auto got = static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0));
    return truncationIssueOf(file.filename().string(), head,
                             std::span<const std::uint8_t>(tail).first(got));
}

} // namespace kv::ImageConverter
