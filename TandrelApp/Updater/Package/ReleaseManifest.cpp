#include "TandrelApp/Updater/Package/ReleaseManifest.h"

#include <algorithm>
#include <vector>

#include <nlohmann/json.hpp>

#include "TandrelApp/Support/DecimalInteger.h"

namespace ReleaseManifest {

namespace {

std::vector<std::int64_t> pieces(std::string_view version) {
    std::vector<std::int64_t> numbers;
    std::size_t start = 0;
    while (start <= version.size()) {
        const std::size_t dot = std::min(version.find('.', start), version.size());
        if (dot > start) {
            numbers.push_back(parseDecimalInteger(version.substr(start, dot - start)).value_or(0));
        }
        start = dot + 1;
    }
    return numbers;
}

} // namespace

std::optional<Manifest> parse(std::string_view json) {
    const auto document = nlohmann::json::parse(json, nullptr, false);
    if (!document.is_object()) {
        return std::nullopt;
    }
    const auto version = document.find("version");
    if (version == document.end() || !version->is_string() || version->get<std::string>().empty()) {
        return std::nullopt;
    }
    Manifest manifest{version->get<std::string>(), 0};
    const auto build = document.find("build");
    if (build != document.end() && !build->is_null()) {
        if (!build->is_number_integer() ||
            (build->is_number_unsigned() && build->get<std::uint64_t>() > std::uint64_t(INT64_MAX))) {
            return std::nullopt;
        }
        manifest.build = build->get<std::int64_t>();
    }
    return manifest;
}

int compareVersions(std::string_view a, std::string_view b) {
    const auto left = pieces(a);
    const auto right = pieces(b);
    for (std::size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
        const std::int64_t x = i < left.size() ? left[i] : 0;
        const std::int64_t y = i < right.size() ? right[i] : 0;
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

bool isNewer(std::string_view version, std::int64_t build, std::string_view currentVersion,
             std::int64_t currentBuild) {
    const int order = compareVersions(version, currentVersion);
    return order > 0 || (order == 0 && currentBuild < build);
}

std::optional<std::string> bindingProblem(const std::optional<Manifest>& manifest,
                                          std::string_view expectedVersion, std::string_view installedVersion,
                                          std::int64_t installedBuild) {
    if (!manifest) {
        return "パッケージにリリースの情報（" + std::string(fileName) + "）がありません";
    }
    if (manifest->version != expectedVersion) {
        return "パッケージのバージョン " + manifest->version + " は、求めたバージョン " +
               std::string(expectedVersion) + " と違います";
    }
    if (!isNewer(manifest->version, manifest->build, installedVersion, installedBuild)) {
        return "パッケージのバージョン " + manifest->version + "（ビルド " + std::to_string(manifest->build) +
               "）は、インストールされているバージョン " + std::string(installedVersion) + "（ビルド " +
               std::to_string(installedBuild) + "）より新しくありません";
    }
    return std::nullopt;
}

} // namespace ReleaseManifest
