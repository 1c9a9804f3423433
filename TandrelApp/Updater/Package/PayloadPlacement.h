// Puts a staged payload into the target folder, as root, all or nothing. A symlink that already exists in
// the target is never followed (every folder on the way is opened without following one), a folder that
// already exists is never changed (mode, owner and time stay), and a folder is never replaced by a file or
// the other way round. Each file is first written beside its destination under a temporary name, then all
// are swapped in; a failure at any step undoes every swap and removes what was made, so the target is as
// it was. New files and folders belong to the helper (root) and lose group and others' write permission.
// The installer helper calls it. Qt-free.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "TandrelApp/Updater/Package/UpdateArchive.h"

namespace PayloadPlacement {

// The payload could not be put in place; the text says where and why. The target is as it was, unless
// the text says that undoing failed too.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Item {
    UpdateArchive::Entry entry;
    // Files: where the staged contents are read from.
    std::string staged;
};

// Places `items` (in the payload's order) below `target`. `beforeSwap`, when given, runs before each file
// is swapped in; a failure it throws is handled like any other. Throws Failure.
void place(const std::vector<Item>& items, const std::string& target,
           const std::function<void()>& beforeSwap = {});

} // namespace PayloadPlacement
