// The command line as the headless self-tests read it: flags, the value that follows an option, and
// numbers parsed strictly from that value. Every runner reads its options through this class.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One option a self-test takes and the values it accepts.
struct SelfTestOption {
    enum class Kind {
        // No value: "--mic".
        flag,
        // Any text: a path, a bundle identifier, a list of identifiers.
        text,
        // A decimal number within minimum ... maximum.
        number,
        // Decimal digits within minimum ... maximum.
        count,
        // Comma-separated numbers; items that are not numbers are dropped, with a warning.
        numbers,
        // One of `choices`; another word is warned about and the option's default used.
        choice,
    };
    std::string name;
    Kind kind = Kind::text;
    double minimum = 0;
    double maximum = 0;
    std::vector<std::string> choices = {};
};

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

    // What the command line holds that a test taking `options` (and any self-test flag) cannot use as
    // given. Warnings are for what it ignores: unknown arguments (with the value that follows an unknown
    // option), an option without a value, list items and choices it cannot use. The refusal is the
    // first value that is not a finite number within its option's range; the test must not run then.
    struct Check {
        std::vector<std::string> warnings;
        std::optional<std::string> refusal;
    };
    Check check(const std::vector<SelfTestOption>& options) const;

private:
    std::vector<std::string> elements_;
};

// The options more than one self-test takes.
namespace SelfTestOptions {

// The report's path.
inline const SelfTestOption report{.name = "--report"};
// How long a test measures, in seconds: at most a day.
inline const SelfTestOption seconds{
    .name = "--seconds", .kind = SelfTestOption::Kind::number, .minimum = 0, .maximum = 86400};
// A device buffer in frames: at most what a route renders in one go.
inline const SelfTestOption buffer{
    .name = "--buffer", .kind = SelfTestOption::Kind::count, .minimum = 1, .maximum = 4096};
// A route's safety margin in milliseconds: at most what its ring of 0.7 s holds beside the blocks.
inline const SelfTestOption safetyMs{
    .name = "--safety-ms", .kind = SelfTestOption::Kind::number, .minimum = 0, .maximum = 500};

} // namespace SelfTestOptions

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
