#include "TandrelApp/Support/AudioServerStart.h"

namespace AudioServerStart {

std::vector<std::filesystem::path> plugInPlaces(const std::filesystem::path& home,
                                                const std::filesystem::path& executable) {
    if (executable.empty()) {
        return {home / "PlugIns"};
    }
    return {home / "PlugIns", executable.parent_path().parent_path() / "lib" / "tandrel" / "PlugIns"};
}

std::shared_ptr<AudioServer> start() {
    const std::filesystem::path home = AudioServer::defaultHome();
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return AudioServer::start(
        {.profile = std::nullopt, .home = home, .plugIns = plugInPlaces(home, executable)});
}

} // namespace AudioServerStart
