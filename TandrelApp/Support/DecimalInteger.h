// Whole decimal integers in text, as release files and information dictionaries write them. Header only
// and Qt-free, so the installer helper reads them as the application does.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

// A decimal integer with an optional leading "+" or "-" and nothing else; nothing when the text is empty,
// holds any other character or does not fit.
inline std::optional<std::int64_t> parseDecimalInteger(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        // "+-1" is no number.
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}
