#include "TandrelApp/Mixer/RouterViewModel.h"

namespace RouterViewModel {

Banner banner(bool audioSystemResponsive, bool devicesLoaded, bool hasLines) {
    if (!audioSystemResponsive) {
        return Banner::audioSystem;
    }
    return devicesLoaded && !hasLines ? Banner::driverMissing : Banner::none;
}

std::string versionText(const std::string& shortVersion) {
    return "Corvane " + shortVersion;
}

std::string versionHelp(const std::string& shortVersion, std::int64_t build) {
    return "バージョン " + shortVersion + "（ビルド " + std::to_string(build) + "）";
}

std::string connectionCount(std::size_t connections) {
    return std::to_string(connections) + " 接続";
}

} // namespace RouterViewModel
