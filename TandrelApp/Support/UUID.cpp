#include "TandrelApp/Support/UUID.h"

#include <random>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Positions of the hyphens in the canonical text form.
constexpr bool isHyphenPosition(std::size_t index) {
    return index == 8 || index == 13 || index == 18 || index == 23;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::mt19937_64& generator() {
    // Seeded once per thread from the system's entropy source, so identifiers made on different
    // threads never share a sequence.
    thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    return engine;
}

} // namespace

UUID UUID::random() {
    Bytes bytes{};
    auto& engine = generator();
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        std::uint64_t word = engine();
        for (std::size_t j = 0; j < 8; ++j) {
            bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
        }
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    return UUID(bytes);
}

std::optional<UUID> UUID::fromString(std::string_view text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    Bytes bytes{};
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (isHyphenPosition(i)) {
            if (text[i] != '-') {
                return std::nullopt;
            }
            ++i;
            continue;
        }
        int high = hexValue(text[i]);
        int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes[byte++] = static_cast<std::uint8_t>(high << 4 | low);
        i += 2;
    }
    return UUID(bytes);
}

std::string UUID::uuidString() const {
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(kHexDigits[bytes_[i] >> 4]);
        text.push_back(kHexDigits[bytes_[i] & 0x0F]);
    }
    return text;
}

std::size_t std::hash<UUID>::operator()(const UUID& uuid) const noexcept {
    // FNV-1a over the bytes: random identifiers are already well mixed, nil and hand-made ones are not.
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (std::uint8_t b : uuid.bytes()) {
        hash = (hash ^ b) * 0x100000001b3ULL;
    }
    return static_cast<std::size_t>(hash);
}
