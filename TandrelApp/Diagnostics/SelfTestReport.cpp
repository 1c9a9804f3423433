#include "TandrelApp/Diagnostics/SelfTestReport.h"

#include <cerrno>
#include <cstring>

#include "TandrelApp/Support/Log.h"

namespace {

// 0, or the errno of what went wrong; a full disk may show only when the file is closed.
int writeFile(const std::string& path, const std::string& data) {
    const auto failure = [] {
        return errno != 0 ? errno : EIO;
    };
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return failure();
    }
    int error = std::fwrite(data.data(), 1, data.size(), file) == data.size() ? 0 : failure();
    if (std::fclose(file) != 0 && error == 0) {
        error = failure();
    }
    return error;
}

} // namespace

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

bool write(const Report& report, const SelfTestArguments& arguments, Fallback fallback,
           std::FILE* standardOutput) {
    const std::string data = serialize(report);
    if (auto path = arguments.value("--report")) {
        const int error = writeFile(*path, data);
        if (error != 0) {
            Log::console("cannot write the report to " + *path + ": " + std::strerror(error));
        }
        return error == 0;
    }
    if (fallback == Fallback::standardOutput && standardOutput != nullptr) {
        std::fwrite(data.data(), 1, data.size(), standardOutput);
        std::fflush(standardOutput);
    }
    return true;
}

int finish(const Report& report, const SelfTestArguments& arguments, Fallback fallback,
           std::FILE* standardOutput) {
    const bool written = write(report, arguments, fallback, standardOutput);
    return written ? exitStatus(report) : 1;
}

} // namespace SelfTestReport
