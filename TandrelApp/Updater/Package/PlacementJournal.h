// The record of a placement under way, kept by the installer helper in its state folder (only root can
// enter it), so that a run stopped by a crash, a power loss or a kill can be completed or undone by the
// next run: the folders it makes, and for every file the temporary name it is written under beside its
// destination and, once written, the file's identity, by which the next run tells whether it was swapped
// in. It is written whole and synced before each change of phase and read back only by the next run.
// Qt-free.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace PlacementJournal {

enum class Phase {
    // Folders and temporaries are being made; nothing of the target has been replaced yet. Undone.
    preparing,
    // Every temporary is written and synced; the swaps are under way. Completed.
    swapping,
    // A swap failed and the run was taking the swaps back. Undone.
    undoing,
};

struct File {
    // Relative to the target, "/"-separated.
    std::string path;
    // A name in the destination's folder.
    std::string temporary;
    // A file or symlink was there before and is swapped out.
    bool replaces = false;
    // The new file's device and inode; 0 until it has been written.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const File&) const = default;
};

struct Record {
    Phase phase = Phase::preparing;
    std::string target;
    // Relative to the target, parents before what they hold.
    std::vector<std::string> folders;
    std::vector<File> files;
    bool operator==(const Record&) const = default;
};

// Replaces the journal at `path` by `record` in one step (written beside it, synced, renamed over it, the
// folder synced). Throws SafeFiles::Failure.
void write(const std::string& path, const Record& record);

// The journal at `path`; nothing when there is none. Throws SafeFiles::Failure when it cannot be read or
// is not a journal.
std::optional<Record> read(const std::string& path);

// Deletes the journal at `path` and syncs its folder; false when it could not be deleted.
bool remove(const std::string& path) noexcept;

} // namespace PlacementJournal
