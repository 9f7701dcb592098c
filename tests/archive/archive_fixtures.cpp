// Trees and hand-made archives for the archive tests.
#include "archive_fixtures.h"

#include "archive/deflate_codec.h"
#include "engine/conversion_error.h"
#include "engine/logger.h"
#include "support/test_support.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

namespace kv::test {

namespace fs = std::filesystem;
using namespace ArchiveConverter;

std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).generic_string()] = readFile(entry.path());
    }
    return files;
}

std::map<std::string, std::string> makeSampleTree(const fs::path& root) {
    std::map<std::string, std::string> expected;
    const auto add = [&](const std::string& path, const std::string& bytes) {
        writeFile(root / path, bytes);
        expected[path] = bytes;
    };
    std::mt19937 random(42);
    std::string big(3 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        // Half noise, half text, so DEFLATE has work and stored fallbacks are not taken.
        big[i] = i % 2 ? static_cast<char>(random()) : static_cast<char>('a' + (i / 7) % 26);
    }
    add("big.bin", big);
    add("empty.txt", "");
    add("docs/readme.md", "# Title\n\nSome text.\n");
    add("docs/deep/er/still/file.txt", std::string(1000, 'x'));
    add(std::string("\xc3\x9c") + "n\xc3\xaf" + "c\xc3\xb8" + "d\xc3\xa9" +
            "/\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb" + ".txt",
        "unicode");
    add("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.md", "japanese");
    add(".env", "SECRET=1\n");
    add(".config/settings.json", "{}");
    add("exact512.bin", std::string(512, 'e'));
    add("random.bin", std::string(big.begin(), big.begin() + 4097));
    std::string longPath;
    for (int i = 0; longPath.size() < 129; ++i)
        longPath += "segment" + std::to_string(i) + "/";
    longPath = longPath.substr(0, 129);
    if (longPath.back() == '/')
        longPath.back() = 'x';
    longPath += "/last-component-20b.t"; // 129 + 1 + 20 = 150 bytes
    add(longPath, "long path");
    writeFile(root / ".DS_Store", "finder");
    writeFile(root / "docs" / ".DS_Store", "finder");
    return expected;
}

namespace {
void put16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}
} // namespace

std::string makeRawZip(const std::vector<RawZipEntry>& entries, std::size_t commentBytes) {
    std::string body;
    std::string central;
    for (const RawZipEntry& e : entries) {
        const auto offset = static_cast<std::uint32_t>(body.size());
        const auto size =
            e.declaredSize ? e.declaredSize : static_cast<std::uint32_t>(e.payload.size());
        // The CRC-32 is that of the content: a DEFLATE payload is inflated for it.
        const InflateResult inflated = inflateRaw(asBytes(e.payload), 0, 1u << 30);
        const auto crc = e.method == 8 && inflated.status == InflateResult::Status::ok
                             ? crc32Checksum(inflated.data)
                             : crc32Checksum(asBytes(e.payload));
        put32(body, 0x04034b50);
        put16(body, 20);
        put16(body, 0);
        put16(body, e.method);
        put32(body, 0);
        put32(body, crc);
        put32(body, static_cast<std::uint32_t>(e.payload.size()));
        put32(body, size);
        put16(body, static_cast<std::uint32_t>(e.name.size()));
        put16(body, 0);
        body += e.name + e.payload;
        put32(central, 0x02014b50);
        put16(central, 0x031E);
        put16(central, 20);
        put16(central, 0);
        put16(central, e.method);
        put32(central, 0);
        put32(central, crc);
        put32(central, static_cast<std::uint32_t>(e.payload.size()));
        put32(central, size);
        put16(central, static_cast<std::uint32_t>(e.name.size()));
        put32(central, 0);
        put32(central, 0);
        put32(central, 0x81A40000);
        put32(central, offset);
        central += e.name;
    }
    std::string zip = body + central;
    put32(zip, 0x06054b50);
    put32(zip, 0);
    put16(zip, static_cast<std::uint32_t>(entries.size()));
    put16(zip, static_cast<std::uint32_t>(entries.size()));
    put32(zip, static_cast<std::uint32_t>(central.size()));
    put32(zip, static_cast<std::uint32_t>(body.size()));
    put16(zip, static_cast<std::uint32_t>(commentBytes));
    zip += std::string(commentBytes, 'c');
    return zip;
}

void setTarChecksum(std::string& block) {
    std::memset(block.data() + 148, ' ', 8);
    unsigned sum = 0;
    for (std::size_t i = 0; i < 512; ++i)
        sum += static_cast<unsigned char>(block[i]);
    char text[8];
    std::snprintf(text, sizeof text, "%06o", sum);
    std::memcpy(block.data() + 148, text, 7); // six digits and a NUL; the space stays
}

std::string tarHeader(std::string_view name, char type, std::string_view sizeField,
                      std::string_view prefix) {
    std::string block(512, '\0');
    std::memcpy(block.data(), name.data(), std::min<std::size_t>(name.size(), 100));
    std::memcpy(block.data() + 100, "0000644", 7);
    std::memcpy(block.data() + 124, sizeField.data(), std::min<std::size_t>(sizeField.size(), 12));
    block[156] = type;
    std::memcpy(block.data() + 257,
                "ustar\0"
                "00",
                8);
    block.replace(345, std::min<std::size_t>(prefix.size(), 155), prefix.substr(0, 155));
    setTarChecksum(block);
    return block;
}

std::string tarEntry(std::string_view name, char type, std::string_view data) {
    char size[13];
    std::snprintf(size, sizeof size, "%011o", static_cast<unsigned>(data.size()));
    std::string out = tarHeader(name, type, size) + std::string(data);
    out.resize((out.size() + 511) / 512 * 512, '\0');
    return out;
}

std::string toString(const Bytes& bytes) {
    return std::string(asText(bytes));
}

std::string corruptMessage(const std::function<void()>& action) {
    try {
        action();
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::corruptFile) << e.what();
        return e.what();
    }
    ADD_FAILURE() << "no error";
    return {};
}

bool logged(std::string_view text) {
    for (const LogEntry& entry : ConversionLogger::shared().entries()) {
        if (entry.message.find(text) != std::string::npos)
            return true;
    }
    return false;
}

} // namespace kv::test
