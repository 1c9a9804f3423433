// Puts a staged payload into the target folder, as root, all or nothing, even when the helper is stopped
// half-way by a kill, a crash or a power loss. A symlink that already exists in the target is never
// followed (every folder on the way is opened without following one), a folder that already exists is
// never changed (mode, owner and time stay), and a folder is never replaced by a file or the other way
// round. Each file is first written beside its destination under a temporary name, then all are swapped
// in; a failure at any step undoes every swap and removes what was made, so the target is as it was. A
// journal records the plan before the target is touched and is synced at each change of phase: the next
// run completes the swaps when every file had been written and synced, and undoes the rest otherwise.
// New files and folders belong to the helper (root) and lose group and others' write permission. The
// folders are walked in the order of their names and kept open, so the work grows with the entries, not
// with their depth. The installer helper calls it. Qt-free.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "TandrelApp/Updater/Package/UpdateArchive.h"

namespace PayloadPlacement {

// The payload could not be put in place; the text says where and why. The target is as it was, unless
// the text says that undoing failed too (the journal then stays for the next run).
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Item {
    UpdateArchive::Entry entry;
    // Files: where the staged contents are read from.
    std::string staged;
};

// The changes placement makes to the target and to its journal.
enum class Step { journal, makeFolder, writeFile, syncFolder, swap, removeReplaced, undo };
// Runs before each change; what it throws is handled like any other failure. The helper's tests stop it
// there.
using StepHook = std::function<void(Step)>;

// Places `items` below `target`, recording the placement in the journal file `journal` (in a folder only
// root can change) until it is complete. Throws Failure.
void place(const std::vector<Item>& items, const std::string& target, const std::string& journal,
           const StepHook& beforeStep = {});

struct Recovery {
    enum class Outcome { nothingToDo, completed, undone };
    Outcome outcome = Outcome::nothingToDo;
    // Files that were changed by someone else since and were left as they are.
    std::vector<std::string> leftAlone;
};

// Completes or undoes the placement that the journal `journal` records, left by a run that was stopped,
// and removes the journal. Throws Failure when the journal cannot be read or something could not be put
// right; the journal then stays for the next try.
Recovery recover(const std::string& journal, const StepHook& beforeStep = {});

} // namespace PayloadPlacement
