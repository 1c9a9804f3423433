// The command line as the headless self-tests read it: flags, the value that follows an option, and
// numbers parsed strictly from that value. Every runner reads its options through this class.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class SelfTestArguments {
public:
    explicit SelfTestArguments(std::vector<std::string> elements)
        : elements_(std::move(elements)) {}
    // Every element of argv, the program's own path included.
    static SelfTestArguments fromCommandLine(int argc, char** argv);

    // The command line the running self-test was started with; empty until a runner records one.
    static SelfTestArguments process();
    static void setProcess(SelfTestArguments arguments);

    // Whether some element equals `flag` exactly.
    bool contains(std::string_view flag) const;
    // The element after the first one equal to `flag`; nothing when the flag is absent or last.
    std::optional<std::string> value(std::string_view flag) const;

    // The option's value split at commas, empty items dropped; empty when the option is absent.
    std::vector<std::string> listValue(std::string_view flag) const;

    // The option's value as a number; nothing when it is absent or does not parse as a whole.
    std::optional<double> doubleValue(std::string_view flag) const;
    std::optional<float> floatValue(std::string_view flag) const;
    std::optional<uint32_t> uint32Value(std::string_view flag) const;

    const std::vector<std::string>& elements() const { return elements_; }

private:
    std::vector<std::string> elements_;
};

// Strict number parsing: the whole text must be the number, or nothing is returned.
namespace SelfTestNumbers {

// A decimal number with an optional sign, fraction and exponent, or "inf", "infinity" or "nan".
std::optional<double> parseDouble(std::string_view text);
// The same in single precision; a value beyond its range does not parse.
std::optional<float> parseFloat(std::string_view text);
// Decimal digits only, within 0 ... 4294967295.
std::optional<uint32_t> parseUInt32(std::string_view text);
// The items of a comma-separated list that parse as finite numbers, in order; empty and other items
// are dropped.
std::vector<double> parseList(std::string_view text);

} // namespace SelfTestNumbers
