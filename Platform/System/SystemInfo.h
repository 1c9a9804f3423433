// The operating system's own facts that the application branches on: its version (the "14.2 or
// later" gates of process taps) and the optional function that names a process's responsible
// process, both profile values here, settable by tests; and the processor's name the About pane shows.
#pragma once

#include <compare>
#include <string>

struct OperatingSystemVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;

    auto operator<=>(const OperatingSystemVersion&) const = default;
    std::string text() const;
};

// The pid of the process responsible for a pid (the app behind a helper process), or the pid itself.
using ResponsibilityFunction = int (*)(int pid);

namespace SystemInfo {

// The running system's version: TANDREL_SYSTEM_VERSION ("14.2" or "13.6.1") when set, else 14.5.0.
OperatingSystemVersion version();
bool isAtLeast(OperatingSystemVersion minimum);
void setVersion(OperatingSystemVersion version);

// The processor's brand name as the system reports it ("model name" of /proc/cpuinfo, else the
// "Hardware" or "Model" line); empty when it names none.
std::string processorBrand();
// The same over the text of a cpuinfo file.
std::string processorBrand(const std::string& cpuinfo);

// The responsibility lookup as the system offers it by name: null when it is absent.
ResponsibilityFunction responsibilityFunction();
// Installs (or, with null, removes) the function the lookup finds; the emulated process table does.
void setResponsibilityFunction(ResponsibilityFunction function);

} // namespace SystemInfo
