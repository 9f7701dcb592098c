// Fuzzes the page style rewriting: a page and the sheet it links, split at the first NUL.
// Colour spelling must be stable: rewriting a rewritten value changes nothing.
#include "platform/html/page_styles.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string html = input.substr(0, split);
    const std::string css = split == std::string::npos ? std::string() : input.substr(split + 1);
    kv::platform::PageStyles styles(html, [&](const std::string&) { return css; });
    (void)styles.html();
    (void)styles.sheet("linked.css");
    const std::string once = kv::platform::plainColors(css);
    if (kv::platform::plainColors(once) != once)
        std::abort();
    return 0;
}
