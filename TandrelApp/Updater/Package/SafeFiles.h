// File steps the updater takes with care, the same in the application and in its helper running as root:
// reading a file that must be a plain one of bounded size without ever blocking on a pipe or a device,
// writing a new file, deleting a folder tree without following symlinks, telling whether anyone but root
// could change a file the helper trusts, and the SHA-256 digest that binds the helper to the package the
// application checked. Qt-free; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace SafeFiles {

// A file step that failed; the text names the file and the reason.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The whole of the regular file at `path`, read once. A symlink, a folder, a pipe or a device is refused at
// once (the file is opened without following a symlink and without waiting for a writer), and so is a
// file larger than `limit` bytes. Throws Failure.
std::string readRegularFile(const std::string& path, std::uint64_t limit);

// Writes `bytes` to a file at `path` that must not exist yet, with the permissions `mode`. Throws Failure.
void writeNewFile(const std::string& path, std::string_view bytes, mode_t mode);

// Deletes `path` and everything below it, never following a symlink; failures are ignored.
void removeTree(const std::string& path) noexcept;

// Where someone other than root or `owner` could change `path` (symlinks resolved): the path of the file,
// or of a folder above it, that is owned by anyone else or that group or others may write (a folder with
// the sticky bit aside, which keeps others from renaming what is not theirs), or the reason it cannot be
// looked at; nothing when only root and `owner` can change it.
std::optional<std::string> othersCanChange(const std::string& path, uid_t owner);

// The SHA-256 digest of `bytes` as 64 lower-case hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

// `count` bytes from the system's random source. Throws Failure.
std::string randomBytes(std::size_t count);

} // namespace SafeFiles
