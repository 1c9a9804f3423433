// The program's information dictionary (identifier, name, version, build) as the build wrote it into
// the resource ":/Info.json", the stand-in of a bundle's information property list. The shell's
// version constants, the updater and the About pane read it. Any thread.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace BundleInfo {

// The dictionary, read once; an empty object when the resource is missing or is not a JSON object.
nlohmann::json main();

// The value of `key` when it is a text.
std::optional<std::string> string(const std::string& key);

// "CFBundleIdentifier".
std::optional<std::string> bundleIdentifier();

// Test hook: answers main() with `info` instead of the resource; std::nullopt restores the resource.
void setMainForTesting(std::optional<nlohmann::json> info);

} // namespace BundleInfo
