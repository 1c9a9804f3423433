// The application's loggers ("qorvix.tandrel.app/<category>") and the plain console lines with the
// prefix "TandrelApp: ". Every component takes its logger from here.
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

} // namespace Log
