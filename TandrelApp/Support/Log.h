// The application's loggers ("qorvix.tandrel.app/<category>") and the plain console lines with the
// prefix "TandrelApp: ", all on standard error. Every component takes its logger from here.
#pragma once

#include <memory>
#include <string_view>

#include <spdlog/spdlog.h>

namespace Log {

// The logger of one category ("Controller", "Routing", "Dropouts", ...), created on first use.
// Thread-safe; not for real-time threads.
std::shared_ptr<spdlog::logger> app(std::string_view category);

// Writes "TandrelApp: <message>" to standard error.
void console(std::string_view message);

// Points spdlog's default logger, which the emulated audio server logs through and which would
// otherwise write to standard output, at standard error: standard output carries only the self-tests'
// reports. The process entry calls it first.
void keepStandardOutputForReports();

} // namespace Log
