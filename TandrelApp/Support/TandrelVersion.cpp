#include "TandrelApp/Support/TandrelVersion.h"

#include "Platform/System/Desktop/BundleInfo.h"
#include "TandrelApp/Support/DecimalInteger.h"

namespace TandrelVersion {
namespace {

std::optional<std::string> text(const nlohmann::json& info, const char* key) {
    const auto found = info.is_object() ? info.find(key) : info.end();
    if (found == info.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

} // namespace

std::string shortVersion(const nlohmann::json& info) {
    return text(info, "CFBundleShortVersionString").value_or("0");
}

std::int64_t build(const nlohmann::json& info) {
    const auto value = text(info, "CFBundleVersion");
    return value ? parseDecimalInteger(*value).value_or(0) : 0;
}

const std::string& shortVersion() {
    static const std::string version = shortVersion(BundleInfo::main());
    return version;
}

std::int64_t build() {
    static const std::int64_t number = build(BundleInfo::main());
    return number;
}

} // namespace TandrelVersion
