// The updater's tar archives, read by us rather than by a tar program: the update archive the
// application downloads (plain tar) and the payload inside a signed package (tar.gz). Every entry is
// checked before the caller sees it: regular files and folders only, and in a payload also symlinks that
// end at another of its entries when followed as the file system follows them; no hard links, devices
// or pipes, no setuid or setgid bits, no absolute name, no NUL, no "." or ".." inside one, no name twice;
// the total size, the depth of names and the number of entries (the folders names imply included) within
// bounds. What the reader does not understand (an entry kind, a folder with contents, an extended header
// field) is refused, never skipped. The archive's own top ("./") is passed over, so the folder it is
// unpacked into is never changed. The application unpacks the update archive with it and reads the
// payload's release file; the helper stages the payload with it. Qt-free; any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "TandrelApp/Updater/Package/ReleaseManifest.h"

namespace UpdateArchive {

// The archive is refused; the text names the entry and the reason.
class Refused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Limits {
    // The sum of the files' sizes.
    std::uint64_t bytes = 0;
    std::uint64_t entries = 0;
};

// The bounds of the update archive (its package included) and of a package's unpacked payload.
inline constexpr std::uint64_t packageBytes = 256ull << 20;
inline constexpr Limits imageLimits{packageBytes, 1000};
inline constexpr Limits payloadLimits{1ull << 30, 100000};
// The components of a name, at most.
inline constexpr std::size_t maximumDepth = 128;

struct Entry {
    enum class Type { file, folder, symlink };
    Type type = Type::file;
    // Relative, "/"-separated, without a leading "./" or a trailing "/".
    std::string path;
    // Permission bits only.
    unsigned mode = 0;
    // Files: the size of the contents.
    std::uint64_t size = 0;
    // Symlinks: where they point, relative to their own folder.
    std::string linkTarget;
};

// An entry's contents, for the handler to read; what it leaves unread is skipped.
class Contents {
public:
    virtual ~Contents() = default;
    // Up to `size` bytes into `buffer`; 0 at the end. Throws Refused when the archive cannot be read.
    virtual std::size_t read(char* buffer, std::size_t size) = 0;
};

using Handler = std::function<void(const Entry&, Contents&)>;

// The parts of a "/"-separated path, empty ones included.
std::vector<std::string> components(std::string_view path);

// Checks every entry of the plain tar archive read from `fd` (files and folders) and hands each to
// `handler`, in the archive's order. Throws Refused.
void readImage(int fd, const Limits& limits, const Handler& handler);

// Unpacks the plain tar archive read from `fd` into the open folder `folder`, each entry written as soon
// as readImage has checked it: folders (those names imply too) made with mode 0700, files created anew
// with mode 0600, never through a symlink. Throws Refused, or SafeFiles::Failure when a write fails.
void unpackImage(int fd, const Limits& limits, int folder);

// The same for the gzip-compressed payload read from `fd`, which may also hold symlinks; its release file
// is read rather than handed on, and returned (none when it has none). Symlinks are checked once the
// whole payload is read, so a refusal may come after the handler saw earlier entries. Throws Refused.
std::optional<ReleaseManifest::Manifest> readPayload(int fd, const Limits& limits, const Handler& handler);

} // namespace UpdateArchive
