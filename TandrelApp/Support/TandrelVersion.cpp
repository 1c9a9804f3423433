#include "TandrelApp/Support/TandrelVersion.h"

#include <charconv>

#include "Platform/System/Desktop/BundleInfo.h"

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

std::optional<std::int64_t> parseInteger(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        // "+-1" is no number.
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::string shortVersion(const nlohmann::json& info) {
    return text(info, "CFBundleShortVersionString").value_or("0");
}

std::int64_t build(const nlohmann::json& info) {
    const auto value = text(info, "CFBundleVersion");
    return value ? parseInteger(*value).value_or(0) : 0;
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
