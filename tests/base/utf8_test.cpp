#include "base/text_file.h"
#include "base/utf8.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {
namespace {

TEST(Utf8, AcceptsWellFormedAndRefusesEveryIllFormedKind) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("abcdefghij\xE2\x82\xAC\U0001F600"));
    EXPECT_TRUE(isValidUtf8("\xF4\x8F\xBF\xBF"));      // U+10FFFF, the last code point
    EXPECT_FALSE(isValidUtf8("\xC0\x80"));             // overlong NUL
    EXPECT_FALSE(isValidUtf8("\xE0\x9F\xBF"));         // overlong three-byte form
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));         // surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));     // past U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xF8\x88\x80\x80\x80")); // five-byte lead
    EXPECT_FALSE(isValidUtf8("abcdefgh\xE2\x82"));     // cut short after an ASCII run
    EXPECT_FALSE(isValidUtf8("\x80"));                 // continuation without a lead
    EXPECT_FALSE(isValidUtf8("\xC3\x28"));             // lead followed by ASCII
    const std::uint8_t bytes[] = {0xC3, 0xA9};
    EXPECT_TRUE(isValidUtf8(std::span<const std::uint8_t>(bytes)));
}

TEST(TextFile, ReadsUtf8DropsTheMarkAndRefusesOtherText) {
    char pattern[] = "/tmp/kv_text_file_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path dir = pattern;
    const auto write = [&](const char* name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return dir / name;
    };
    EXPECT_EQ(readUtf8File(write("bom.txt", "\xEF\xBB\xBF"
                                            "caf\xC3\xA9")),
              "caf\xC3\xA9");
    EXPECT_EQ(readUtf8File(write("plain.txt", "a\nb")), "a\nb");
    EXPECT_EQ(readUtf8File(write("latin1.txt", "caf\xE9")), std::nullopt);
    EXPECT_EQ(readWholeFile(dir / "latin1.txt"), "caf\xE9");
    EXPECT_EQ(readWholeFile(dir / "missing.txt"), std::nullopt);
    EXPECT_EQ(readWholeFile(dir), std::nullopt); // a folder is not a regular file
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(readWholeFile(dir / "fifo"), std::nullopt); // and opening a FIFO never blocks
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace kv
