// Showing a file in the desktop's file manager: selected in its folder through the freedesktop file
// manager service on the session bus (org.freedesktop.FileManager1.ShowItems, which Nautilus, Dolphin,
// Nemo, Thunar and others offer), else its folder opened with xdg-open. It never blocks: the outcome
// arrives on the GUI thread, so a caller whose desktop answers neither way can say where the file is.
// The reset of settings and the capture lab reveal their files here. GUI thread only.
#pragma once

#include <functional>
#include <optional>

#include <QString>
#include <QStringList>

namespace FileManager {

enum class Outcome { selected, folderOpened, notShown };

// Shows an existing file or folder, given by its absolute path; `done` runs once, on the GUI thread,
// after this call has returned. A path that is relative, missing or holds control characters is not
// shown.
void reveal(const QString& path, std::function<void(Outcome)> done);

// Test hooks. The bus asked for the service, by address ("" for no bus at all); none restores the
// session bus.
void setBusAddress(std::optional<QString> address);
// The command that opens a folder, which is appended to it; none restores xdg-open.
void setFolderOpener(std::optional<QStringList> command);

} // namespace FileManager
