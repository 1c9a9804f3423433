// Tar archives built byte by byte, so that the updater's tests can write what no tar program would: names
// with NUL bytes, folders with contents, extended header fields of any kind. Entries come out in the
// order they are added.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class TarWriter {
public:
    using Records = std::vector<std::pair<std::string, std::string>>;

    // One header of `type` for `name` (cut to the header's 100 bytes; longer names need pax()), declaring
    // `size`, then `contents` padded to whole blocks.
    TarWriter& entry(char type, const std::string& name, const std::string& contents, std::uint64_t size,
                     const std::string& link = {}, unsigned mode = 0644);
    TarWriter& file(const std::string& name, const std::string& contents, unsigned mode = 0644) {
        return entry('0', name, contents, contents.size(), {}, mode);
    }
    TarWriter& folder(const std::string& name) { return entry('5', name, {}, 0, {}, 0755); }
    TarWriter& symlink(const std::string& name, const std::string& target) {
        return entry('2', name, {}, 0, target, 0777);
    }
    // Extended header records ("x", or "g" when `global`) for the entry that follows.
    TarWriter& pax(const Records& records, bool global = false);

    // The archive with its end.
    std::string tar() const;
    // The same, compressed with gzip.
    std::string tarGz() const;

private:
    std::string bytes_;
};
