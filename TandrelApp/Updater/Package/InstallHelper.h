// What the application and its installer helper "tandrel-install" agree on. The helper is installed,
// owned by root, in a folder of its own beside the program's libraries, together with what it trusts:
// the update authority's certificate and a small settings file naming the team whose packages it
// installs and the folder it installs into. The elevator runs it as root with the package the
// application checked, that package's SHA-256 digest and the version the user accepted. Qt-free.
#pragma once

#include <string_view>

namespace InstallHelper {

inline constexpr std::string_view programName = "tandrel-install";
// Beside the helper: {"team": "<team identifier>", "target": "<folder the payload is unpacked into>"},
// and optionally "state": the folder, only root's, where the helper keeps its lock, its journal and its
// work folder ("/var/lib/tandrel-install" when not given).
inline constexpr std::string_view settingsName = "tandrel-install.json";
// Beside the helper: the update authority's certificate (PEM).
inline constexpr std::string_view authorityName = "update-ca.pem";

// The helper's exit statuses. Never 126 or 127: the elevator uses those for a dismissed prompt and for a
// refused or failed elevation.
enum Exit : int {
    installed = 0,
    usage = 64,
    notConfigured = 65,
    refused = 66,
    failed = 67,
};

} // namespace InstallHelper
