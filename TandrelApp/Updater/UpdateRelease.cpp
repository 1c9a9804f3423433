#include "TandrelApp/Updater/UpdateRelease.h"

#include <algorithm>

#include <QUrl>
#include <nlohmann/json.hpp>

#include "TandrelApp/Updater/Package/ReleaseManifest.h"

namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string& detail) {
    throw ReleaseDecodingError("リリース情報を読み取れません（" + detail + "）");
}

// The value under `key`, or null when the key is missing or holds null.
const json* present(const json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return nullptr;
    }
    return &*found;
}

std::string text(const json& value, const char* key) {
    if (!value.is_string()) {
        fail(std::string("\"") + key + "\" がテキストではありません");
    }
    return value.get<std::string>();
}

std::optional<std::string> optionalText(const json& object, const char* key) {
    const json* value = present(object, key);
    return value ? std::optional(text(*value, key)) : std::nullopt;
}

std::string requiredText(const json& object, const char* key) {
    const json* value = present(object, key);
    if (value == nullptr) {
        fail(std::string("\"") + key + "\" がありません");
    }
    return text(*value, key);
}

std::string address(std::string value, const char* key) {
    const QUrl url(QString::fromStdString(value), QUrl::StrictMode);
    if (value.empty() || !url.isValid()) {
        fail(std::string("\"") + key + "\" がアドレスではありません");
    }
    return value;
}

std::optional<std::int64_t> optionalInteger(const json& object, const char* key) {
    const json* value = present(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (value->is_number_integer()) {
        if (value->is_number_unsigned() && value->get<std::uint64_t>() > std::uint64_t(INT64_MAX)) {
            fail(std::string("\"") + key + "\" が大きすぎます");
        }
        return value->get<std::int64_t>();
    }
    fail(std::string("\"") + key + "\" が整数ではありません");
}

std::optional<std::vector<std::string>> optionalTexts(const json& object, const char* key) {
    const json* value = present(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (!value->is_array()) {
        fail(std::string("\"") + key + "\" がリストではありません");
    }
    std::vector<std::string> texts;
    for (const json& entry : *value) {
        texts.push_back(text(entry, key));
    }
    return texts;
}

} // namespace

namespace UpdateRules {

UpdateRelease decodeRelease(std::string_view body) {
    const json document = json::parse(body, nullptr, false);
    if (document.is_discarded()) {
        fail("JSON として読めません");
    }
    if (!document.is_object()) {
        fail("リリースのオブジェクトではありません");
    }
    UpdateRelease release;
    release.version = requiredText(document, "version");
    release.build = optionalInteger(document, "build");
    release.url = address(requiredText(document, "url"), "url");
    if (auto page = optionalText(document, "page")) {
        release.page = address(std::move(*page), "page");
    }
    release.date = optionalText(document, "date");
    release.minimumSystemVersion = optionalText(document, "minimumSystemVersion");
    release.notes = optionalTexts(document, "notes");
    return release;
}

int compareVersions(std::string_view a, std::string_view b) {
    return ReleaseManifest::compareVersions(a, b);
}

bool supportsSystem(const UpdateRelease& release, OperatingSystemVersion system) {
    if (!release.minimumSystemVersion) {
        return true;
    }
    const std::string running = std::to_string(system.major) + "." + std::to_string(system.minor) + "." +
                                std::to_string(system.patch);
    return compareVersions(running, *release.minimumSystemVersion) >= 0;
}

bool offersUpdate(const UpdateRelease& release, std::string_view currentVersion, std::int64_t currentBuild,
                  OperatingSystemVersion system) {
    return ReleaseManifest::isNewer(release.version, release.build.value_or(0), currentVersion,
                                    currentBuild) &&
           supportsSystem(release, system);
}

std::optional<std::string> feedURL(const std::optional<std::string>& defaultsValue,
                                   const std::optional<std::string>& infoValue) {
    const std::optional<std::string>& candidate = defaultsValue ? defaultsValue : infoValue;
    if (!candidate || candidate->empty()) {
        return std::nullopt;
    }
    const QUrl url(QString::fromStdString(*candidate), QUrl::StrictMode);
    if (!url.isValid()) {
        return std::nullopt;
    }
    // QUrl folds scheme and host to lower case; the rule compares them as written. An address without a
    // scheme and a host ("https" alone) is no feed address.
    const std::string& raw = *candidate;
    const std::size_t colon = raw.find(':');
    const std::string host = url.host().toStdString();
    if (colon == std::string::npos || host.empty()) {
        return std::nullopt;
    }
    const std::string scheme = raw.substr(0, colon);
    const bool writtenAsIs = raw.find("//" + host) != std::string::npos;
    if (scheme == "https") {
        return candidate;
    }
    if (scheme == "http" && writtenAsIs && (host == "localhost" || host == "127.0.0.1")) {
        return candidate;
    }
    return std::nullopt;
}

bool acceptsPackageAddress(std::string_view packageAddress, std::string_view feedAddress) {
    const auto scheme = [](std::string_view address) {
        return address.substr(0, address.find(':'));
    };
    return scheme(packageAddress) == "https" || scheme(feedAddress) == "http";
}

} // namespace UpdateRules
