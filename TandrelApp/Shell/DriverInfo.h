// The installed driver's version and source identifier, read from the bundle's information dictionary
// (Contents/Info.json) where the audio server loads it. The About pane reads it each time it is shown.
// Main thread; small local reads.
#pragma once

#include <optional>
#include <string>

struct DriverInfo {
    // "CFBundleShortVersionString" (else "-"), with "（ビルド <CFBundleVersion>）" when that is a text.
    std::string version;
    // "TDDriverSourceHash" when it is a text.
    std::optional<std::string> sourceHash;

    bool operator==(const DriverInfo&) const = default;

    // Where the driver is installed: the first of the audio server's plug-in folders that holds
    // TandrelDriver.driver, else the bundle's place in the first of them.
    static std::string installPath();
    // The driver at installPath(); none when no bundle or no information dictionary is there.
    static std::optional<DriverInfo> read();
    static std::optional<DriverInfo> read(const std::string& bundlePath);
};
