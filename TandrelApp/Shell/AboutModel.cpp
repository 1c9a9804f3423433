#include "TandrelApp/Shell/AboutModel.h"

#include <QLocale>
#include <QUrl>

namespace AboutModel {

std::string formatDate(const QDateTime& date) {
    static const QLocale japanese(QStringLiteral("ja_JP"));
    return japanese.toString(date.toLocalTime(), QStringLiteral("yyyy年M月d日 H:mm")).toStdString();
}

std::string updateStatus(const UpdateChecker::State& state, const std::optional<QDateTime>& lastChecked) {
    using Kind = UpdateChecker::State::Kind;
    switch (state.kind) {
    case Kind::available:
        return state.release ? state.release->version + " が公開されています" : "";
    case Kind::failed:
        return "確認できませんでした";
    case Kind::idle:
        return lastChecked ? "最終確認 " + formatDate(*lastChecked) : "未確認";
    case Kind::checking:
        return "確認中…";
    case Kind::upToDate:
        return "最新です";
    }
    return {};
}

std::string versionLine(const std::string& shortVersion, std::int64_t build) {
    return shortVersion + "（ビルド " + std::to_string(build) + "）";
}

std::string copyright(const std::optional<std::string>& infoCopyright) {
    return infoCopyright.value_or(builtInCopyright);
}

std::vector<std::pair<std::string, std::string>> driverRows(const std::optional<DriverInfo>& driver,
                                                            const std::string& installPath) {
    if (!driver) {
        return {{"", "インストールされていません（" + installPath + "）"}};
    }
    return {
        {"バージョン", driver->version},
        {"識別子", driver->sourceHash.value_or("-")},
        {"場所", installPath},
    };
}

std::string chipText(const std::string& brand, const std::string& architecture) {
    if (brand.empty()) {
        return architecture;
    }
    return brand + "（" + architecture + "）";
}

std::string tildePath(const std::string& path, const std::string& home) {
    if (home.empty() || home == "/") {
        return path;
    }
    std::string result;
    std::size_t start = 0;
    for (std::size_t found; (found = path.find(home, start)) != std::string::npos;
         start = found + home.size()) {
        result += path.substr(start, found - start) + "~";
    }
    return result + path.substr(start);
}

std::string settingsFolder(const std::string& configurationPath, const std::string& home) {
    const auto slash = configurationPath.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : configurationPath.substr(0, slash);
    return tildePath(folder.empty() && slash == 0 ? "/" : folder, home);
}

std::string websiteTitle() {
    return "ホームページ（" + QUrl(QString::fromUtf8(website)).host().toStdString() + "）";
}

} // namespace AboutModel
