// Random (version 4) UUIDs.
#include "base/uuid.h"

#include <mutex>
#include <random>

namespace kv {

Uuid Uuid::random() {
    static std::mutex mutex;
    static std::mt19937_64 engine{[] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device()};
        return std::mt19937_64{seed};
    }()};
    Uuid id;
    {
        const std::lock_guard lock(mutex);
        for (std::size_t i = 0; i < id.bytes.size(); i += 8) {
            std::uint64_t word = engine();
            for (std::size_t k = 0; k < 8; ++k) {
                id.bytes[i + k] = static_cast<std::uint8_t>(word & 0xFFu);
                word >>= 8;
            }
        }
    }
    id.bytes[6] = static_cast<std::uint8_t>((id.bytes[6] & 0x0Fu) | 0x40u); // version 4
    id.bytes[8] = static_cast<std::uint8_t>((id.bytes[8] & 0x3Fu) | 0x80u); // RFC 4122 variant
    return id;
}

std::string Uuid::toString() const {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back('-');
        text.push_back(kHex[bytes[i] >> 4]);
        text.push_back(kHex[bytes[i] & 0x0Fu]);
    }
    return text;
}

} // namespace kv
