// The system tools the update installer runs and how it reads their answers: one table of paths and
// argument lists (unpacking the update archive, checking the package's signature against the update
// authority shipped with the program, reading the signer, elevating our installer helper), the runner
// that starts a tool and collects everything it writes, and the decisions taken from a tool's status and
// output. The installer calls them off the main thread; tests put their own paths in the table.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "TandrelApp/Updater/UpdateInstallError.h"

// Everything a tool wrote to its standard output and error, in order, and how it ended.
struct CommandResult {
    int status = 0;
    std::string output;
    bool operator==(const CommandResult&) const = default;
};

struct UpdateTools {
    std::string tar = "/usr/bin/tar";
    std::string openssl = "/usr/bin/openssl";
    std::string elevator = "/usr/bin/pkexec";
    std::string shell = "/bin/sh";
    // Our installer helper: re-checks the package and unpacks its payload into the target.
    std::string installer;
    // The update authority's root certificate (PEM) that every package must chain to.
    std::string certificateAuthority;
    // Where the installer unpacks the payload.
    std::string target = "/";

    // The program's own table: the helper and the authority installed beside it.
    static UpdateTools standard();

    // "Attach": unpacks the update archive into the mount folder.
    std::vector<std::string> attachArguments(const std::string& image, const std::string& mountFolder) const;
    // The signature's assessment: the package must be signed data that chains to the authority.
    std::vector<std::string> assessArguments(const std::string& package) const;
    // The same check, writing the signer's certificate to `signerFile`.
    std::vector<std::string> signerArguments(const std::string& package, const std::string& signerFile) const;
    // The signer certificate's subject, one "short name = value" line per part.
    std::vector<std::string> subjectArguments(const std::string& signerFile) const;
    // The elevator over the shell running `installerCommand(package, team)`.
    std::vector<std::string> elevatedInstallArguments(const std::string& package,
                                                      const std::string& team) const;
    // "<installer> -pkg '<package>' -target '<target>' -ca '<authority>' -team '<team>'".
    std::string installerCommand(const std::string& package, const std::string& team) const;
};

namespace UpdateToolRunner {

// Starts `path` with `arguments` (environment and standard input inherited), one pipe taking both its
// outputs, reads the pipe to its end and then waits for the exit. Blocks; throws UpdateToolError when the
// tool cannot be started. Output is decoded as UTF-8 with invalid sequences replaced.
CommandResult runSync(const std::string& path, const std::vector<std::string>& arguments);

} // namespace UpdateToolRunner

namespace UpdateToolDecisions {

// `text` in single quotes for the shell, each single quote inside written as '\''.
std::string shellQuote(const std::string& text);
// White space and line breaks trimmed from both ends.
std::string trimmed(const std::string& text);

// The attach failure for a non-zero status, with the whole output; nothing on success.
std::optional<InstallError> attachFailure(const CommandResult& result);
// The assessment's failure: unless the status is 0 and the output says "Verification successful".
std::optional<InstallError> assessmentFailure(const CommandResult& result);
// The signer's team (its organisational unit) from the subject lines, when the subject names exactly one
// and its common name is a "Developer ID Installer:" one.
std::optional<std::string> installerTeam(const std::string& subjectOutput);
// The team check's failure: unless both tools succeeded and the signer's team is exactly `team`.
std::optional<InstallError> teamFailure(const CommandResult& signer, const CommandResult& subject,
                                        const std::string& team);
// The elevated installer's outcome: nothing on 0, the silent "cancelled" for a dismissed prompt (126),
// else the failure with the trimmed output.
std::optional<InstallError> installerFailure(const CommandResult& result);

} // namespace UpdateToolDecisions
