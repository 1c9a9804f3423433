// What binds an update package to a release: the version comparison, the newer-release rule and the
// release file that a package's payload carries ("CorvaneRelease.json": the release's "version" and
// optional "build"). The application refuses a package whose payload is not the release it offered, and
// the helper refuses one that is not the release the application asked for or not newer than the
// program installed. Qt-free; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ReleaseManifest {

// The payload's own release file, at its top; it describes the payload and is never installed.
inline constexpr std::string_view fileName = "CorvaneRelease.json";
// The largest release file read.
inline constexpr std::uint64_t maximumSize = 65536;

struct Manifest {
    std::string version;
    std::int64_t build = 0;
    bool operator==(const Manifest&) const = default;
};

// The release file's contents: an object with the text "version" and the optional integer "build";
// nothing for anything else.
std::optional<Manifest> parse(std::string_view json);

// Three-way comparison of dotted versions: negative when `a` is lower, 0 when the same, positive when
// higher. Empty pieces are dropped, a piece that is not a whole decimal integer counts as 0, missing
// places count as 0.
int compareVersions(std::string_view a, std::string_view b);

// Whether `version` with `build` is newer than the current version and build: a higher version, or the
// same one with a higher build.
bool isNewer(std::string_view version, std::int64_t build, std::string_view currentVersion,
             std::int64_t currentBuild);

// Why a payload carrying `manifest` may not be installed when `expectedVersion` was asked for over the
// program of `installedVersion` and `installedBuild`; nothing when it may.
std::optional<std::string> bindingProblem(const std::optional<Manifest>& manifest,
                                          std::string_view expectedVersion, std::string_view installedVersion,
                                          std::int64_t installedBuild);

} // namespace ReleaseManifest
