// The system tools the update installer runs and how it reads their answers: one table of paths and
// argument lists (elevating our installer helper), the step that unpacks the update archive (our own
// reader, which writes exactly what it checked), where the helper and the update authority it trusts are
// installed, the runner that starts a tool outside the terminal's session and collects everything it
// writes, and the decisions taken from a tool's status and output. The installer calls them off the main
// thread; tests put their own paths in the table.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "TandrelApp/Updater/Package/UpdateArchive.h"
#include "TandrelApp/Updater/UpdateInstallError.h"

// Everything a tool wrote to its standard output and error, in order, and how it ended.
struct CommandResult {
    int status = 0;
    std::string output;
    bool operator==(const CommandResult&) const = default;
};

namespace UpdateToolRunner {

// "Attach": unpacks the update archive `image` into the folder `folder` with our reader, each entry
// written as soon as it is checked. Throws the download failure that says why it cannot.
void unpack(const std::string& image, const std::string& folder, const UpdateArchive::Limits& limits);

} // namespace UpdateToolRunner

struct UpdateTools {
    // Tests wrap it to hold a run inside it.
    std::function<void(const std::string& image, const std::string& folder, const UpdateArchive::Limits&)>
        attach = UpdateToolRunner::unpack;
    std::string elevator = "/usr/bin/pkexec";
    // Our installer helper, installed by root in a folder of its own with what it trusts; the elevator
    // runs it directly.
    std::string installer;
    // The update authority's certificate (PEM) that every package must chain to: the helper's own.
    std::string certificateAuthority;
    // Who must own the helper, its settings and authority and every folder above them (root); nobody
    // else may be able to change them.
    uid_t installerOwner = 0;

    // The program's own table: the helper and its authority where they are installed relative to the
    // program.
    static UpdateTools standard();

    // The elevator's arguments: the helper itself with the package, its SHA-256 digest and the version
    // asked for.
    std::vector<std::string> elevatedInstallArguments(const std::string& package, const std::string& digest,
                                                      const std::string& version) const;
};

namespace UpdateToolRunner {

// Starts `path` with `arguments` (environment and standard input inherited) in a session of its own, so
// that the terminal the program was started from cannot stop it, one pipe taking both its outputs, reads
// the pipe to its end and then waits for the exit. Blocks; throws UpdateToolError when the
// tool cannot be started. Output is decoded as UTF-8 with invalid sequences replaced.
CommandResult runSync(const std::string& path, const std::vector<std::string>& arguments);

} // namespace UpdateToolRunner

namespace UpdateToolDecisions {

// White space and line breaks trimmed from both ends.
std::string trimmed(const std::string& text);

// The helper's real path (symlinks resolved) when it may be run as root. Throws the installer failure when
// it is missing or no plain executable file, when its settings or authority are missing, or when any of
// them or a folder above them is owned by someone other than root (`installerOwner`) or writable by
// others (a folder with the sticky bit aside).
std::string trustedInstaller(const UpdateTools& tools);
// The elevated installer's outcome: nothing on 0, the silent "cancelled" for a dismissed prompt (126, which
// the helper never uses itself), else the failure with the trimmed output.
std::optional<InstallError> installerFailure(const CommandResult& result);

} // namespace UpdateToolDecisions
