// The JSON report every headless self-test writes: a JSON object built up while the test runs, written
// pretty-printed with sorted keys to the "--report" path or to standard output, and the exit status it
// implies. The runners fill one in and hand it here at the end.
#pragma once

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "TandrelApp/Diagnostics/SelfTestArguments.h"

namespace SelfTestReport {

// Keys are kept sorted (nlohmann's object is a std::map).
using Report = nlohmann::json;

// Where a report goes when no "--report" path is given.
enum class Fallback { standardOutput, nowhere };

// Pretty-printed with two-space indents and sorted keys; NaN and infinities are written as null and
// text that is not valid UTF-8 is repaired, so serialisation never fails.
std::string serialize(const Report& report);

// 0 when "ok" is the boolean true, 1 in every other case (false, missing, not a boolean).
int exitStatus(const Report& report);

// The error form: "ok" false and "error" set to the description; what the report already holds stays.
void recordFailure(Report& report, const std::string& description);

// Writes the report to the "--report" path (created or replaced) or, without one, to `standardOutput`
// when the fallback asks for it. False when the "--report" file could not be written, which is said on
// standard error.
bool write(const Report& report, const SelfTestArguments& arguments, Fallback fallback,
           std::FILE* standardOutput = stdout);

// Writes the report and returns the exit status: the one "ok" gives, or 1 when the report could not be
// written, since the run's outcome is then lost.
int finish(const Report& report, const SelfTestArguments& arguments, Fallback fallback,
           std::FILE* standardOutput = stdout);

} // namespace SelfTestReport
