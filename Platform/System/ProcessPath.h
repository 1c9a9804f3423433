// The executable path of a process id, as the system offers it by name: optional, so the process tap
// source matches processes by path only where it exists. The emulated audio server installs one backed
// by the workspace's running applications; tests may remove it.
#pragma once

#include <optional>
#include <string>

// The path of a process's executable, absent when the process or its path is unknown.
using ProcessPathFunction = std::optional<std::string> (*)(int pid);

namespace ProcessPath {

// The installed lookup, null when the system offers none.
ProcessPathFunction function();
// Installs (or, with null, removes) the lookup.
void setFunction(ProcessPathFunction function);

} // namespace ProcessPath
