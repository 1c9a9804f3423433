// The application menu's update entries, right after its About item: "アップデートを確認…", disabled
// while a check runs, and the switch "アップデートを自動で確認". Both follow the checker. GUI thread only.
#pragma once

class QMenu;
class UpdateChecker;

namespace UpdateCommands {

// Adds the two entries to `menu`; they live as long as the menu.
void add(QMenu& menu, UpdateChecker& checker);

// Starts a user-initiated check on the main thread and returns at once.
void checkNow(UpdateChecker& checker);

} // namespace UpdateCommands
