// The driver's two logs: its own log "qorvix.tandrel.driver" (category "plugin") for everything, and
// the process's console for the volume-set line, which carries the prefix "TandrelDriver: ".
#pragma once

#include <spdlog/logger.h>

namespace tandrel::driver {

spdlog::logger& driverLog();
spdlog::logger& consoleLog();

} // namespace tandrel::driver
