// One release of the update feed and the rules that judge it: the strict decoding of the feed document,
// the version comparison, the minimum-system rule, the feed address taken from the user default or the
// program's information, and the newer-release decision. Pure functions; the update checker and the
// installer build on them. Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/System/SystemInfo.h"
#include "TandrelApp/Support/AppError.h"

struct UpdateRelease {
    std::string version;
    std::optional<std::int64_t> build;
    // The disk image; an address whose text formed a URL when decoded.
    std::string url;
    std::optional<std::string> page;
    std::optional<std::string> date;
    std::optional<std::string> minimumSystemVersion;
    std::optional<std::vector<std::string>> notes;

    bool operator==(const UpdateRelease&) const = default;
};

// A feed document that is not one valid release object.
class ReleaseDecodingError : public AppError {
public:
    using AppError::AppError;
};

namespace UpdateRules {

// Decodes the feed's body: one JSON object with at least "version" and "url"; a null optional value is
// absent, a wrong type anywhere or an address that does not parse fails the whole document. Unknown keys
// are ignored. Throws ReleaseDecodingError.
UpdateRelease decodeRelease(std::string_view body);

// Three-way comparison of dotted versions: negative when `a` is lower, 0 when the same, positive when
// higher. Empty pieces are dropped, a piece that is not a whole decimal integer counts as 0, missing
// places count as 0.
int compareVersions(std::string_view a, std::string_view b);

// Whether the release runs on `system`: always without a minimum, else unless the system's
// "major.minor.patch" is lower than the minimum.
bool supportsSystem(const UpdateRelease& release, OperatingSystemVersion system);

// Whether the release is newer than the running version and build (the same version counts as newer
// only with a higher build, an absent one being 0) and supports the system.
bool offersUpdate(const UpdateRelease& release, std::string_view currentVersion, std::int64_t currentBuild,
                  OperatingSystemVersion system);

// The feed address: the user default's text when one is stored (even an empty one), else the
// information dictionary's; accepted only with a scheme and a host, as "https", or "http" on the host
// "localhost" or "127.0.0.1". Nothing otherwise.
std::optional<std::string> feedURL(const std::optional<std::string>& defaultsValue,
                                   const std::optional<std::string>& infoValue);

// Whether the release's package address may be fetched for a feed at `feedAddress`: "https" always, any
// address when the feed itself is a local "http" one.
bool acceptsPackageAddress(std::string_view packageAddress, std::string_view feedAddress);

} // namespace UpdateRules
