// The program's own version text and build number, from its information dictionary (BundleInfo),
// worked out once. The About pane and the mixer window's status bar show them; the updater compares
// releases with them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace TandrelVersion {

// "CFBundleShortVersionString" when it is a text, else "0".
const std::string& shortVersion();
// "CFBundleVersion" when it is a text holding a decimal integer, else 0.
std::int64_t build();

// The same rules over a given dictionary.
std::string shortVersion(const nlohmann::json& info);
std::int64_t build(const nlohmann::json& info);

} // namespace TandrelVersion
