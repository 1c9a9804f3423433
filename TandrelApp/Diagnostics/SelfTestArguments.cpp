#include "TandrelApp/Diagnostics/SelfTestArguments.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <mutex>

#include <fmt/format.h>

namespace {

std::mutex processMutex;

SelfTestArguments& processArguments() {
    static SelfTestArguments arguments{{}};
    return arguments;
}

// from_chars refuses a leading '+', which people type and other parsers take.
std::string_view withoutPlus(std::string_view text) {
    if (text.size() > 1 && text.front() == '+' && text[1] != '-' && text[1] != '+') {
        text.remove_prefix(1);
    }
    return text;
}

template <typename T>
std::optional<T> parseFloating(std::string_view text) {
    text = withoutPlus(text);
    if (text.empty()) {
        return std::nullopt;
    }
    T value{};
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

// The items of a comma-separated text, in order; empty items are dropped.
std::vector<std::string_view> commaItems(std::string_view text) {
    std::vector<std::string_view> items;
    while (true) {
        const auto comma = text.find(',');
        if (const auto item = text.substr(0, comma); !item.empty()) {
            items.push_back(item);
        }
        if (comma == std::string_view::npos) {
            return items;
        }
        text.remove_prefix(comma + 1);
    }
}

bool isFiniteNumber(std::string_view text) {
    const auto value = SelfTestNumbers::parseDouble(text);
    return value && std::isfinite(*value);
}

const std::vector<std::string> selfTestFlags{"--capture-test", "--engine-test", "--latency-test",
                                             "--routing-test", "--responsiveness-test"};

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// "0〜86400 の数" and the like: the range as the refusal states it.
std::string rangeText(const SelfTestOption& option) {
    const char* unit = option.kind == SelfTestOption::Kind::count ? "の整数" : "の数";
    return fmt::format("{:g}〜{:g} {}", option.minimum, option.maximum, unit);
}

bool withinRange(std::string_view text, const SelfTestOption& option) {
    std::optional<double> value;
    if (option.kind == SelfTestOption::Kind::count) {
        if (auto count = SelfTestNumbers::parseUInt32(text)) {
            value = *count;
        }
    } else {
        value = SelfTestNumbers::parseDouble(text);
    }
    return value && std::isfinite(*value) && *value >= option.minimum && *value <= option.maximum;
}

// The warnings about one value of a list or a choice; a number's refusal.
void checkValue(const SelfTestOption& option, std::string_view text, SelfTestArguments::Check& check) {
    switch (option.kind) {
    case SelfTestOption::Kind::number:
    case SelfTestOption::Kind::count:
        if (!withinRange(text, option) && !check.refusal) {
            check.refusal =
                option.name + " の値 " + quoted(text) + " は使えません（" + rangeText(option) + "）";
        }
        return;
    case SelfTestOption::Kind::numbers:
        for (const std::string_view item : commaItems(text)) {
            if (!isFiniteNumber(item)) {
                check.warnings.push_back("ignoring " + quoted(item) + " in " + option.name +
                                         ": not a number");
            }
        }
        return;
    case SelfTestOption::Kind::choice:
        if (std::find(option.choices.begin(), option.choices.end(), text) == option.choices.end()) {
            check.warnings.push_back("unknown value " + quoted(text) + " of " + option.name +
                                     "; the default is used");
        }
        return;
    case SelfTestOption::Kind::flag:
    case SelfTestOption::Kind::text:
        return;
    }
}

} // namespace

SelfTestArguments::Check SelfTestArguments::check(const std::vector<SelfTestOption>& options) const {
    Check check;
    for (size_t i = 1; i < elements_.size(); ++i) {
        const std::string& element = elements_[i];
        if (std::find(selfTestFlags.begin(), selfTestFlags.end(), element) != selfTestFlags.end()) {
            continue;
        }
        const auto option = std::find_if(options.begin(), options.end(),
                                         [&](const SelfTestOption& known) { return known.name == element; });
        if (option == options.end()) {
            check.warnings.push_back("unknown argument " + quoted(element) + " ignored");
            // An unknown option's value goes with it, unwarned.
            if (element.starts_with("--") && i + 1 < elements_.size() &&
                !elements_[i + 1].starts_with("--")) {
                ++i;
            }
            continue;
        }
        if (option->kind == SelfTestOption::Kind::flag) {
            continue;
        }
        if (i + 1 == elements_.size()) {
            check.warnings.push_back(element + " has no value and is ignored");
            continue;
        }
        checkValue(*option, elements_[++i], check);
    }
    return check;
}

SelfTestArguments SelfTestArguments::fromCommandLine(int argc, char** argv) {
    std::vector<std::string> elements;
    for (int i = 0; i < argc; ++i) {
        elements.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }
    return SelfTestArguments(std::move(elements));
}

SelfTestArguments SelfTestArguments::process() {
    std::lock_guard lock(processMutex);
    return processArguments();
}

void SelfTestArguments::setProcess(SelfTestArguments arguments) {
    std::lock_guard lock(processMutex);
    processArguments() = std::move(arguments);
}

bool SelfTestArguments::contains(std::string_view flag) const {
    return std::find(elements_.begin(), elements_.end(), flag) != elements_.end();
}

std::optional<std::string> SelfTestArguments::value(std::string_view flag) const {
    auto found = std::find(elements_.begin(), elements_.end(), flag);
    if (found == elements_.end() || std::next(found) == elements_.end()) {
        return std::nullopt;
    }
    return *std::next(found);
}

std::vector<std::string> SelfTestArguments::listValue(std::string_view flag) const {
    std::vector<std::string> items;
    if (const auto text = value(flag)) {
        for (const std::string_view item : commaItems(*text)) {
            items.emplace_back(item);
        }
    }
    return items;
}

std::optional<double> SelfTestArguments::doubleValue(std::string_view flag) const {
    auto text = value(flag);
    return text ? SelfTestNumbers::parseDouble(*text) : std::nullopt;
}

std::optional<float> SelfTestArguments::floatValue(std::string_view flag) const {
    auto text = value(flag);
    return text ? SelfTestNumbers::parseFloat(*text) : std::nullopt;
}

std::optional<uint32_t> SelfTestArguments::uint32Value(std::string_view flag) const {
    auto text = value(flag);
    return text ? SelfTestNumbers::parseUInt32(*text) : std::nullopt;
}

namespace SelfTestNumbers {

std::optional<double> parseDouble(std::string_view text) {
    return parseFloating<double>(text);
}

std::optional<float> parseFloat(std::string_view text) {
    return parseFloating<float>(text);
}

std::optional<uint32_t> parseUInt32(std::string_view text) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

std::vector<double> parseList(std::string_view text) {
    std::vector<double> values;
    for (const std::string_view item : commaItems(text)) {
        if (isFiniteNumber(item)) {
            values.push_back(*parseDouble(item));
        }
    }
    return values;
}

} // namespace SelfTestNumbers
