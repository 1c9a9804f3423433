#include "Platform/System/Desktop/BundleInfo.h"

#include <mutex>

#include <QFile>

namespace BundleInfo {
namespace {

std::mutex mutex;
std::optional<nlohmann::json> replacement;

nlohmann::json readResource() {
    QFile file(QStringLiteral(":/Info.json"));
    if (!file.open(QIODevice::ReadOnly)) {
        return nlohmann::json::object();
    }
    const QByteArray bytes = file.readAll();
    auto info = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
    return info.is_object() ? info : nlohmann::json::object();
}

} // namespace

nlohmann::json main() {
    static const nlohmann::json fromResource = readResource();
    std::lock_guard lock(mutex);
    return replacement.value_or(fromResource);
}

std::optional<std::string> string(const std::string& key) {
    const nlohmann::json info = main();
    const auto found = info.find(key);
    if (found == info.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

std::optional<std::string> bundleIdentifier() {
    return string("CFBundleIdentifier");
}

void setMainForTesting(std::optional<nlohmann::json> info) {
    std::lock_guard lock(mutex);
    replacement = std::move(info);
}

} // namespace BundleInfo
