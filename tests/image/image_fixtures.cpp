// Image fixtures made with Debian tools, and independent readers for the outputs.
#include "image_fixtures.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>

namespace kv::test {
namespace fs = std::filesystem;

void tool(const std::vector<std::string>& argv) {
    const auto result = runProgram(argv);
    ASSERT_EQ(result.exitCode, 0) << argv.front() << " failed: " << result.err;
}

namespace {

void buildSources(const fs::path& dir) {
    const auto at = [&](const std::string& name) { return (dir / name).string(); };
    // A smooth photo-like base: plasma with a blur, 8 bits per channel.
    tool({"convert", "-size", "96x64", "-seed", "7", "plasma:orange-navy", "-blur", "0x1", "-depth",
          "8", at("photo.png")});
    for (const char* ext : {"jpeg", "jpg", "tiff", "bmp", "gif", "webp", "psd", "tga", "jp2"})
        tool({"convert", at("photo.png"), at(std::string("photo.") + ext)});
    tool({"heif-enc", "-q", "70", at("photo.png"), "-o", at("photo.heic")});
    fs::copy_file(at("photo.heic"), at("photo.heif"));
    tool({"heif-enc", "-A", "-q", "70", at("photo.png"), "-o", at("photo.avif")});
    tool({"cjxl", at("photo.png"), at("photo.jxl")});
    tool({"convert", at("photo.png"), "-define", "icon:auto-resize=16,32,48,256", at("photo.ico")});
    tool({"convert", at("photo.png"), "-resize", "128x128!", at("square128.png")});
    tool({"png2icns", at("photo.icns"), at("square128.png")});
    writeDng(dir / "photo.dng", 96, 64);
}

} // namespace

const fs::path& sourceFolder() {
    // Built once per process and removed at its exit.
    static const TempDir folder;
    static const bool built = (buildSources(folder.path()), true);
    (void)built;
    return folder.path();
}

fs::path sourceFor(SupportedFormat format) {
    if (format == SupportedFormat::raw)
        return sourceFolder() / "photo.dng";
    const std::string ext =
        format == SupportedFormat::jpeg ? "jpeg" : std::string(rawValue(format));
    return sourceFolder() / ("photo." + ext);
}

void writeDng(const fs::path& file, int width, int height) {
    std::vector<std::uint8_t> out;
    const auto u16 = [&](std::uint32_t v) {
        out.push_back(static_cast<std::uint8_t>(v));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    const auto u32 = [&](std::uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    struct Entry {
        std::uint16_t tag, type;
        std::uint32_t count;
        std::vector<std::uint8_t> value;
    };
    const auto le16 = [](std::initializer_list<std::uint32_t> values) {
        std::vector<std::uint8_t> v;
        for (auto x : values) {
            v.push_back(static_cast<std::uint8_t>(x));
            v.push_back(static_cast<std::uint8_t>(x >> 8));
        }
        return v;
    };
    const auto le32 = [](std::initializer_list<std::int64_t> values) {
        std::vector<std::uint8_t> v;
        for (auto x : values)
            for (int s = 0; s < 32; s += 8)
                v.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(x) >> s));
        return v;
    };
    const auto ascii = [](const std::string& s) {
        std::vector<std::uint8_t> v(s.begin(), s.end());
        v.push_back(0);
        return v;
    };

    // Sensor values: linear light of a smooth colour pattern on an RGGB mosaic.
    std::vector<std::uint8_t> pixels;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double rgb[3] = {x / static_cast<double>(width), y / static_cast<double>(height),
                                   0.5};
            const int channel = (y % 2 == 0) ? (x % 2 == 0 ? 0 : 1) : (x % 2 == 0 ? 1 : 2);
            const auto value = static_cast<std::uint32_t>(std::pow(rgb[channel], 2.2) * 65535.0);
            pixels.push_back(static_cast<std::uint8_t>(value));
            pixels.push_back(static_cast<std::uint8_t>(value >> 8));
        }
    }
    const std::int64_t xyzToSrgb[9] = {32406, -15372, -4986, -9689, 18758, 415, 557, -2040, 10570};
    std::vector<std::uint8_t> matrix;
    for (auto m : xyzToSrgb) {
        const auto pair = le32({m, 10000});
        matrix.insert(matrix.end(), pair.begin(), pair.end());
    }
    const auto w = static_cast<std::uint32_t>(width), h = static_cast<std::uint32_t>(height);
    std::vector<Entry> entries{
        {254, 4, 1, le32({0})},
        {256, 4, 1, le32({w})},
        {257, 4, 1, le32({h})},
        {258, 3, 1, le16({16})},
        {259, 3, 1, le16({1})},
        {262, 3, 1, le16({32803})},
        {271, 2, 8, ascii("Kelvane")},
        {272, 2, 5, ascii("Test")},
        {273, 4, 1, le32({0})},
        {274, 3, 1, le16({1})},
        {277, 3, 1, le16({1})},
        {278, 4, 1, le32({h})},
        {279, 4, 1, le32({static_cast<std::int64_t>(pixels.size())})},
        {284, 3, 1, le16({1})},
        {33421, 3, 2, le16({2, 2})},
        {33422, 1, 4, {0, 1, 1, 2}},
        {50706, 1, 4, {1, 4, 0, 0}},
        {50707, 1, 4, {1, 1, 0, 0}},
        {50708, 2, 13, ascii("Kelvane Test")},
        {50717, 4, 1, le32({65535})},
        {50721, 10, 9, matrix},
        {50728, 5, 3, le32({1, 1, 1, 1, 1, 1})},
        {50778, 3, 1, le16({21})},
    };
    const std::uint32_t ifdOffset = 8;
    const auto dataStart = static_cast<std::uint32_t>(ifdOffset + 2 + entries.size() * 12 + 4);
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> ifd;
    std::size_t stripEntry = 0;
    out = {'I', 'I', 42, 0};
    u32(ifdOffset);
    u16(static_cast<std::uint32_t>(entries.size()));
    for (const auto& e : entries) {
        if (e.tag == 273)
            stripEntry = out.size();
        u16(e.tag);
        u16(e.type);
        u32(e.count);
        if (e.value.size() <= 4) {
            auto value = e.value;
            value.resize(4, 0);
            out.insert(out.end(), value.begin(), value.end());
        } else {
            u32(dataStart + static_cast<std::uint32_t>(data.size()));
            data.insert(data.end(), e.value.begin(), e.value.end());
            if (data.size() % 2)
                data.push_back(0);
        }
    }
    u32(0);
    out.insert(out.end(), data.begin(), data.end());
    const auto stripOffset = static_cast<std::uint32_t>(out.size());
    for (int i = 0; i < 4; ++i)
        out[stripEntry + 8 + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(stripOffset >> (8 * i));
    out.insert(out.end(), pixels.begin(), pixels.end());
    writeFile(file, std::string(out.begin(), out.end()));
}

std::string identifySize(const fs::path& file) {
    const auto result = runProgram({"identify", "-format", "%wx%h\\n", file.string()});
    if (result.exitCode != 0)
        return {};
    return result.out.substr(0, result.out.find('\n'));
}

std::array<int, 3> pixelAt(const fs::path& file, int x, int y) {
    const auto result = runProgram(
        {"convert", file.string() + "[0]", "-colorspace", "sRGB", "-background", "white", "-alpha",
         "remove", "-depth", "8", "-crop", "1x1+" + std::to_string(x) + "+" + std::to_string(y),
         "-format", "%[fx:int(255*r+.5)] %[fx:int(255*g+.5)] %[fx:int(255*b+.5)]", "info:"});
    std::array<int, 3> rgb{-1, -1, -1};
    std::istringstream in(result.out);
    in >> rgb[0] >> rgb[1] >> rgb[2];
    return rgb;
}

int colourDistance(const std::array<int, 3>& a, const std::array<int, 3>& b) {
    int worst = 0;
    for (int i = 0; i < 3; ++i)
        worst = std::max(worst,
                         std::abs(a[static_cast<std::size_t>(i)] - b[static_cast<std::size_t>(i)]));
    return worst;
}

std::string exifTag(const fs::path& file, const std::string& tag) {
    const auto result = runProgram({"exiftool", "-s", "-s", "-s", "-n", "-" + tag, file.string()});
    std::string value = result.out;
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
        value.pop_back();
    return value;
}

void writePdf(const fs::path& file, const std::vector<PdfPage>& pages) {
    std::string out = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    const auto object = [&](const std::string& body) {
        offsets.push_back(out.size());
        out += std::to_string(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
    };
    std::string kids;
    for (std::size_t i = 0; i < pages.size(); ++i)
        kids += std::to_string(3 + i * 2) + " 0 R ";
    object("<< /Type /Catalog /Pages 2 0 R >>");
    object("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>");
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const auto& page = pages[i];
        object("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(page.width) + " " +
               std::to_string(page.height) + "] /Contents " + std::to_string(4 + i * 2) +
               " 0 R >>");
        object("<< /Length " + std::to_string(page.content.size()) + " >>\nstream\n" +
               page.content + "\nendstream");
    }
    const std::size_t xref = out.size();
    out += "xref\n0 " + std::to_string(offsets.size() + 1) + "\n0000000000 65535 f \n";
    for (const auto offset : offsets) {
        char line[24];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
        out += line;
    }
    out += "trailer\n<< /Size " + std::to_string(offsets.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    writeFile(file, out);
}

ConvertRequest imageRequest(const fs::path& source, SupportedFormat sourceFormat,
                            SupportedFormat target, const fs::path& outputDir) {
    fs::create_directories(outputDir);
    return makeRequest(source, sourceFormat, target, outputDir);
}

fs::path onlyFileIn(const fs::path& folder) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder))
        found.push_back(entry.path());
    EXPECT_EQ(found.size(), 1u) << folder;
    return found.empty() ? fs::path() : found.front();
}

} // namespace kv::test
