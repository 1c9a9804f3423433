// The desktop's login items, kept as XDG autostart entries: an entry in <config home>/autostart starts
// a program when the user logs in, with launchArgument added so the program can tell that start from
// others. The application's launch-at-login switch registers and unregisters itself through it.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace LoginItemService {

// The argument an autostart entry passes; the stand-in of the platform's "launched as login item" event.
inline constexpr const char* launchArgument = "--launched-as-login-item";

enum class Status { notRegistered, enabled };

// A failed registration or removal; what() says why, in the system's words.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// <$XDG_CONFIG_HOME, else ~/.config>/autostart/<identifier>.desktop, read from the environment on each call.
std::filesystem::path entryPath(const std::string& identifier);

// Enabled when the entry exists, is an application entry that is neither hidden nor switched off, and
// starts `executable`.
Status status(const std::string& identifier, const std::filesystem::path& executable);

// Writes the entry (atomically, creating the folder) so that `executable` starts at login under `name`.
void registerItem(const std::string& identifier, const std::string& name,
                  const std::filesystem::path& executable);

// Removes the entry; an entry that is not there is no failure.
void unregisterItem(const std::string& identifier);

// One argument of an entry's Exec line, quoted where the desktop entry rules want it.
std::string quoteExecArgument(const std::string& argument);

} // namespace LoginItemService
