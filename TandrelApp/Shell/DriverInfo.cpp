#include "TandrelApp/Shell/DriverInfo.h"

#include <filesystem>
#include <fstream>

#include <QCoreApplication>
#include <nlohmann/json.hpp>

#include "Platform/AudioServer/AudioServer.h"
#include "TandrelApp/Support/AudioServerStart.h"

namespace {

const char* bundleName = "TandrelDriver.driver";

std::optional<std::string> text(const nlohmann::json& info, const char* key) {
    auto found = info.find(key);
    if (found == info.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

} // namespace

std::string DriverInfo::installPath() {
    const auto places = AudioServerStart::plugInPlaces(AudioServer::defaultHome(),
                                                       QCoreApplication::applicationFilePath().toStdString());
    for (const auto& place : places) {
        std::error_code error;
        if (std::filesystem::is_directory(place / bundleName, error)) {
            return (place / bundleName).string();
        }
    }
    return places.empty() ? std::string(bundleName) : (places.front() / bundleName).string();
}

std::optional<DriverInfo> DriverInfo::read() {
    return read(installPath());
}

std::optional<DriverInfo> DriverInfo::read(const std::string& bundlePath) {
    std::error_code error;
    if (!std::filesystem::is_directory(bundlePath, error)) {
        return std::nullopt;
    }
    std::ifstream file(std::filesystem::path(bundlePath) / "Contents" / "Info.json");
    if (!file) {
        return std::nullopt;
    }
    const auto info = nlohmann::json::parse(file, nullptr, false);
    if (info.is_discarded() || !info.is_object()) {
        return std::nullopt;
    }
    DriverInfo driver{text(info, "CFBundleShortVersionString").value_or("-"),
                      text(info, "TDDriverSourceHash")};
    if (auto build = text(info, "CFBundleVersion")) {
        driver.version += "（ビルド " + *build + "）";
    }
    return driver;
}
