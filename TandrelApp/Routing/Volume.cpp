#include "TandrelApp/Routing/Volume.h"

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <string>

namespace {

// Decodes UTF-8 leniently: a malformed sequence becomes U+FFFD, which no number contains.
std::u32string decodeUTF8(std::string_view text) {
    std::u32string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        int length = byte < 0x80           ? 1
                     : (byte >> 5) == 0x6  ? 2
                     : (byte >> 4) == 0xE  ? 3
                     : (byte >> 3) == 0x1E ? 4
                                           : 0;
        char32_t codePoint = length == 1   ? byte
                             : length == 2 ? byte & 0x1F
                             : length == 3 ? byte & 0x0F
                                           : byte & 0x07;
        bool valid = length > 0 && i + length <= text.size();
        for (int k = 1; valid && k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (!valid) {
            result.push_back(U'\uFFFD');
            ++i;
            continue;
        }
        result.push_back(codePoint);
        i += length;
    }
    return result;
}

// The Unicode space separators and the tab; line breaks are not white space here.
bool isWhiteSpace(char32_t c) {
    return c == U'\t' || c == U' ' || c == U'\u00A0' || c == U'\u1680' ||
           (c >= U'\u2000' && c <= U'\u200A') || c == U'\u202F' || c == U'\u205F' || c == U'\u3000';
}

std::u32string trimmed(const std::u32string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isWhiteSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && isWhiteSpace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

// Lower case for the letters a number or an infinity word can be made of: ASCII and the full-width
// Latin letters (which become ASCII in the full-width step).
std::u32string lowercased(std::u32string text) {
    for (auto& c : text) {
        if ((c >= U'A' && c <= U'Z') || (c >= U'\uFF21' && c <= U'\uFF3A')) {
            c += 0x20;
        }
    }
    return text;
}

std::u32string halfWidth(std::u32string text) {
    for (auto& c : text) {
        if (c >= U'\uFF01' && c <= U'\uFF5E') {
            c = c - 0xFF01 + 0x21;
        } else if (c == U'\u3000') {
            c = U' ';
        }
    }
    return text;
}

void removeAll(std::u32string& text, std::u32string_view what) {
    for (auto at = text.find(what); at != std::u32string::npos; at = text.find(what, at)) {
        text.erase(at, what.size());
    }
}

void replaceAll(std::u32string& text, char32_t from, char32_t to) {
    for (auto& c : text) {
        if (c == from) {
            c = to;
        }
    }
}

// Parses the whole text as a 32-bit float in the C locale (the application's locale may use a decimal
// comma); a text with anything else in it, or a number that is not finite, gives no result.
std::optional<float> parseFiniteFloat(const std::u32string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::string ascii;
    ascii.reserve(text.size());
    for (char32_t c : text) {
        if (c == 0 || c > 0x7F) {
            return std::nullopt;
        }
        ascii.push_back(static_cast<char>(c));
    }
    // strtof would skip leading white space; the whole text must be the number.
    if (std::isspace(static_cast<unsigned char>(ascii.front()))) {
        return std::nullopt;
    }
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    char* end = nullptr;
    float value = strtof_l(ascii.c_str(), &end, cLocale);
    if (end != ascii.c_str() + ascii.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

} // namespace

namespace Volume {

float linearGain(float db) {
    if (db <= silenceDB) {
        return 0.0f;
    }
    return std::pow(10.0f, db / 20.0f);
}

std::optional<float> clampDB(float db) {
    if (!std::isfinite(db)) {
        return std::nullopt;
    }
    if (db <= silenceDB) {
        return silenceDB;
    }
    return db > maximumDB ? maximumDB : db;
}

std::optional<float> parseDB(std::string_view utf8) {
    std::u32string text = lowercased(trimmed(decodeUTF8(utf8)));
    removeAll(text, U"db");
    replaceAll(text, U'\u2212', U'-');
    replaceAll(text, U'\uFF0B', U'+');
    replaceAll(text, U'\uFF0D', U'-');
    replaceAll(text, U'\uFF0E', U'.');
    text = trimmed(text);

    if (text == U"-∞" || text == U"∞" || text == U"-inf" || text == U"inf" || text == U"-infinity") {
        return silenceDB;
    }
    text = halfWidth(std::move(text));
    if (!text.empty() && text.front() == U'+') {
        text.erase(0, 1);
    }
    auto value = parseFiniteFloat(text);
    if (!value) {
        return std::nullopt;
    }
    // Near the float range the tenfold value overflows; such a value is clamped all the same.
    float scaled = *value * 10.0f;
    float rounded = std::isfinite(scaled) ? std::round(scaled) / 10.0f : *value;
    return clampDB(rounded);
}

std::optional<float> parsePercent(std::string_view utf8) {
    std::u32string text = halfWidth(trimmed(decodeUTF8(utf8)));
    removeAll(text, U"%");
    auto value = parseFiniteFloat(trimmed(text));
    if (!value) {
        return std::nullopt;
    }
    if (*value <= 0.0f) {
        return 0.0f;
    }
    return std::min(*value, 100.0f) / 100.0f;
}

} // namespace Volume
