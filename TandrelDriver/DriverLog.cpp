#include "TandrelDriver/DriverLog.h"

#include <spdlog/sinks/stdout_sinks.h>

namespace tandrel::driver {

namespace {

// Not registered with spdlog's registry: the driver shares the server's process, and a second copy of
// the bundle loaded after a restart must not collide with the first one's logger names.
std::shared_ptr<spdlog::logger> makeLogger(const char* name, const char* pattern) {
    auto logger = std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::stderr_sink_mt>());
    logger->set_pattern(pattern);
    return logger;
}

} // namespace

// Never destroyed: the driver's queues may still log while the host process exits.
spdlog::logger& driverLog() {
    static auto* const log = new std::shared_ptr<spdlog::logger>(
        makeLogger("qorvix.tandrel.driver/plugin", "[%Y-%m-%d %H:%M:%S.%e] [%n] [%l] %v"));
    return **log;
}

spdlog::logger& consoleLog() {
    static auto* const log =
        new std::shared_ptr<spdlog::logger>(makeLogger("default", "[%Y-%m-%d %H:%M:%S.%e] %v"));
    return **log;
}

} // namespace tandrel::driver
