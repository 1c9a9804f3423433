#include "TandrelApp/Support/Log.h"

#include <cstdio>
#include <mutex>
#include <string>

#include <spdlog/sinks/stdout_color_sinks.h>

namespace Log {

std::shared_ptr<spdlog::logger> app(std::string_view category) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::string name = "qorvix.tandrel.app/" + std::string(category);
    if (auto existing = spdlog::get(name)) {
        return existing;
    }
    auto logger = spdlog::stderr_color_mt(name);
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e [%n] %l: %v");
    return logger;
}

void keepStandardOutputForReports() {
    spdlog::set_default_logger(
        std::make_shared<spdlog::logger>("", std::make_shared<spdlog::sinks::stderr_color_sink_mt>()));
}

void console(std::string_view message) {
    std::fprintf(stderr, "TandrelApp: %.*s\n", static_cast<int>(message.size()), message.data());
}

} // namespace Log
