#include "TandrelApp/Diagnostics/SelfTestReport.h"

#include <fstream>

namespace SelfTestReport {

std::string serialize(const Report& report) {
    return report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

int exitStatus(const Report& report) {
    auto ok = report.is_object() ? report.find("ok") : report.end();
    return ok != report.end() && ok->is_boolean() && ok->get<bool>() ? 0 : 1;
}

void recordFailure(Report& report, const std::string& description) {
    report["ok"] = false;
    report["error"] = description;
}

void write(const Report& report, const SelfTestArguments& arguments, Fallback fallback,
           std::FILE* standardOutput) {
    const std::string data = serialize(report);
    if (auto path = arguments.value("--report")) {
        std::ofstream file(*path, std::ios::binary | std::ios::trunc);
        file << data;
        return;
    }
    if (fallback == Fallback::standardOutput && standardOutput != nullptr) {
        std::fwrite(data.data(), 1, data.size(), standardOutput);
        std::fflush(standardOutput);
    }
}

} // namespace SelfTestReport
