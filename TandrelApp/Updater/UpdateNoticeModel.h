// What the update notice shows, as plain data: the progress row while the installer works, else the
// banner (mixer window) or the compact button (menu-bar panel) for an available release, else nothing.
// The notice widget draws it; tests read it without a display. Any thread.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "TandrelApp/Updater/UpdateInstaller.h"
#include "TandrelApp/Updater/UpdateRelease.h"

namespace UpdateNoticeModel {

struct Progress {
    std::string text;
    // The downloaded fraction for a determinate bar; none for the spinner.
    std::optional<double> fraction;
    // "キャンセル" is offered (full form, while downloading).
    bool cancellable = false;
    bool operator==(const Progress&) const = default;
};

struct Banner {
    std::string title;
    std::string subtitle;
    bool operator==(const Banner&) const = default;
};

struct CompactButton {
    std::string title;
    std::string toolTip;
    bool operator==(const CompactButton&) const = default;
};

using Content = std::variant<std::monostate, Progress, Banner, CompactButton>;

// The progress row's text for a phase (empty for idle and failed).
std::string progressText(const UpdateInstaller::Phase& phase);

Content content(const UpdateInstaller::Phase& phase, const std::optional<UpdateRelease>& available,
                const std::string& currentVersion, bool compact);

} // namespace UpdateNoticeModel
